// The application object. Qt lets no exception cross its event loop, so errors that
// escape a handler (a conversion error in "Start") are caught where events are
// delivered and shown in an error box; the application goes on.
#pragma once

#include <QApplication>

namespace veltra::app {

class TVeltraApplication : public QApplication {
 public:
  TVeltraApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace veltra::app
