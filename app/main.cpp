// Veltra: tests and watches RS-232 ports and point-of-sale devices.
#include "app/app_errors.h"
#include "app/veltra.h"

int main(int argc, char** argv) {
  veltra::app::TVeltraApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Veltra"));
  QApplication::setStyle(QStringLiteral("Fusion"));
  veltra::app::TVeltra window;
  window.show();
  return QApplication::exec();
}
