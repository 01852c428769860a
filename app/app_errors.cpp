#include "app/app_errors.h"

#include <exception>

#include "app/dialogs.h"

namespace veltra::app {

void ReportHandlerError(QWidget* Parent) {
  try {
    throw;
  } catch (const std::exception& error) {
    ShowError(Parent, QString::fromLocal8Bit(error.what()));
  } catch (...) {
    ShowError(Parent, QStringLiteral("Unknown error"));
  }
}

TVeltraApplication::TVeltraApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TVeltraApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportHandlerError(activeWindow());
  }
  return false;
}

}  // namespace veltra::app
