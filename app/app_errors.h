// The application's general error reporting. Qt lets no exception cross its event
// loop, so an error that escapes a handler (a conversion error in "Start") is caught
// where the window dispatches to its handlers and shown in an error box; the
// application goes on. The application object catches whatever still gets through.
#pragma once

#include <QApplication>

#include <utility>

namespace veltra::app {

// Shows the error that ended a handler; call from a catch block.
void ReportHandlerError(QWidget* Parent);

// Runs a handler; an exception it raises is reported instead of unwinding into Qt.
template <typename Handler>
void RunGuarded(QWidget* Parent, Handler&& handler) {
  try {
    std::forward<Handler>(handler)();
  } catch (...) {
    ReportHandlerError(Parent);
  }
}

class TVeltraApplication : public QApplication {
 public:
  TVeltraApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace veltra::app
