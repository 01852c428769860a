// Modal message boxes and the save-file dialog, behind a seam: the real Qt dialogs
// by default; tests install TRecordingDialogs, which records and answers without
// blocking.
#pragma once

#include <functional>
#include <vector>

#include <QString>

class QWidget;

namespace veltra::app {

enum class TBoxKind { Information, Warning, Error };

// The save dialog's settings and, after Execute, the chosen path in FileName.
struct TSaveDialog {
  QString Title;
  QString DefaultExt;  // without the dot
  QString FileName;
  QString InitialDir;  // with its trailing separator
  // False when cancelled; FileName is then unchanged.
  bool Execute(QWidget* Parent);
};

// Where a save dialog starts after `LastFile` was chosen: its folder while that can
// still be written, else the home folder (with the trailing separator). Never the
// program's folder: an installed copy cannot write there.
QString StartFolderFor(const QString& LastFile);

class TDialogs {
 public:
  virtual ~TDialogs() = default;
  // A modal box with a caption, a text and an OK button.
  virtual void MessageBox(QWidget* Parent, const QString& Caption, const QString& Text,
                          TBoxKind Kind) = 0;
  // The path chosen in a save dialog, or an empty string when cancelled.
  virtual QString SaveFileName(QWidget* Parent, const TSaveDialog& Dialog) = 0;
};

TDialogs& Dialogs();
// Installs other dialogs (not owned); null brings back the real ones.
void SetDialogs(TDialogs* Replacement);

// A box captioned with the application's title.
void ShowMessage(QWidget* Parent, const QString& Text);
// An error box captioned with the application's title.
void ShowError(QWidget* Parent, const QString& Text);

// The main window registers what it runs when it becomes active again after another
// window of the application; a double calls RunActivationAfterModal after each answer
// so the window behaves as after a real modal window.
void SetActivationAfterModal(std::function<void()> Handler);
void RunActivationAfterModal();

class TRecordingDialogs : public TDialogs {
 public:
  struct TBox {
    QString Caption;
    QString Text;
    TBoxKind Kind;
  };
  std::vector<TBox> Boxes;
  std::vector<TSaveDialog> SaveRequests;
  // The answer to the next save dialogs; empty means "cancelled".
  QString SaveAnswer;

  void MessageBox(QWidget* Parent, const QString& Caption, const QString& Text,
                  TBoxKind Kind) override;
  QString SaveFileName(QWidget* Parent, const TSaveDialog& Dialog) override;
};

// Installs a TRecordingDialogs for a scope.
class TScopedRecordingDialogs {
 public:
  TScopedRecordingDialogs() { SetDialogs(&Recorder); }
  ~TScopedRecordingDialogs() { SetDialogs(nullptr); }
  TScopedRecordingDialogs(const TScopedRecordingDialogs&) = delete;
  TScopedRecordingDialogs& operator=(const TScopedRecordingDialogs&) = delete;
  TRecordingDialogs Recorder;
};

}  // namespace veltra::app
