// Program entry of "Quelmark Config": initialises the application, creates the
// main window Form1 (whose creation runs FormCreate) and runs the event loop
// until the window is closed. Reads no arguments and no configuration.
#include <QApplication>

#include "main_window.h"
#include "uOEM.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TForm1 Form1;
  MainWindow window(Form1);
  window.show();
  return app.exec();
}
