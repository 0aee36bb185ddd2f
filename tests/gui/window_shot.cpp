// Renders the main window to a PNG file: gui_window_shot OUTPUT.png
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "gui/main_window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  QApplication application(argc, argv);
  kestrel::gui::TKestrel window;
  window.show();
  int status = 1;
  QTimer::singleShot(300, [&] {
    status = window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
    application.quit();
  });
  application.exec();
  return status;
}
