// Program entry of "Quelmark Config": initialises the application, creates the
// main window Form1 (whose creation runs FormCreate) and runs the event loop
// until the window is closed. Reads no arguments and no configuration.
//
// Where no display exists (the main job on a headless machine), the environment
// variable QUELMARK_CONFIG_SCREENSHOT names a PNG file: the window is shown off
// screen, saved to that file once it is drawn, and the program ends. With
// QUELMARK_CONFIG_DEMO=1 as well, the window first runs the demo round
// (tool/qt/demo_round.h): its own operations through its buttons, the message
// boxes printed; the picture then shows the window after the round.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tool/qt/demo_round.h"
#include "tool/qt/main_window.h"
#include "tool/uOEM.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TForm1 Form1;
  MainWindow window(Form1);
  window.show();
  if (const char* shot = std::getenv("QUELMARK_CONFIG_SCREENSHOT"); shot && *shot) {
    const char* demo = std::getenv("QUELMARK_CONFIG_DEMO");
    const bool round = demo && std::string(demo) == "1";
    QTimer::singleShot(300, &window, [&window, &Form1, shot, round] {
      if (round) RunDemoRound(window, Form1);
      bool saved = window.grab().save(QString::fromLocal8Bit(shot), "PNG");
      if (!saved) std::fprintf(stderr, "quelmark-config: cannot save %s\n", shot);
      window.close();
    });
  }
  return app.exec();
}
