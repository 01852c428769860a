#include "app/app_errors.h"

#include <exception>

#include "app/dialogs.h"

namespace veltra::app {

TVeltraApplication::TVeltraApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TVeltraApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowError(activeWindow(), QString::fromLocal8Bit(error.what()));
  } catch (...) {
    ShowError(activeWindow(), QStringLiteral("Unknown error"));
  }
  return false;
}

}  // namespace veltra::app
