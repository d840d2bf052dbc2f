// Program entry of "Quelmark Config": initialises the application, creates the
// main window Form1 (whose creation runs FormCreate) and runs the event loop
// until the window is closed. Reads no arguments and no configuration.
//
// Where no display exists (the main job on a headless machine), the environment
// variable QUELMARK_CONFIG_SCREENSHOT names a PNG file: the window is shown off
// screen, saved to that file once it is drawn, and the program ends.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "tool/qt/main_window.h"
#include "tool/uOEM.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TForm1 Form1;
  MainWindow window(Form1);
  window.show();
  if (const char* shot = std::getenv("QUELMARK_CONFIG_SCREENSHOT"); shot && *shot) {
    QTimer::singleShot(300, &window, [&window, shot] {
      bool saved = window.grab().save(QString::fromLocal8Bit(shot), "PNG");
      if (!saved) std::fprintf(stderr, "quelmark-config: cannot save %s\n", shot);
      window.close();
    });
  }
  return app.exec();
}
