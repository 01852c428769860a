#include "app/dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace veltra::app {

namespace {

class TQtDialogs : public TDialogs {
 public:
  void MessageBox(QWidget* Parent, const QString& Caption, const QString& Text,
                  TBoxKind Kind) override {
    QMessageBox box(Icon(Kind), Caption, Text, QMessageBox::Ok, Parent);
    box.exec();
  }

  QString SaveFileName(QWidget* Parent, const TSaveDialog& Dialog) override {
    QFileDialog dialog(Parent, Dialog.Title, Dialog.InitialDir);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(Dialog.DefaultExt);
    // The name only: a path would take the dialog to its folder, gone or not.
    dialog.selectFile(QFileInfo(Dialog.FileName).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
  }

 private:
  static QMessageBox::Icon Icon(TBoxKind Kind) {
    switch (Kind) {
      case TBoxKind::Warning:
        return QMessageBox::Warning;
      case TBoxKind::Error:
        return QMessageBox::Critical;
      case TBoxKind::Information:
        break;
    }
    return QMessageBox::Information;
  }
};

TQtDialogs& QtDialogs() {
  static TQtDialogs dialogs;
  return dialogs;
}

TDialogs* gReplacement = nullptr;
std::function<void()> gActivationAfterModal;

QString ApplicationTitle() {
  const QString name = QApplication::applicationDisplayName();
  return name.isEmpty() ? QApplication::applicationName() : name;
}

}  // namespace

bool TSaveDialog::Execute(QWidget* Parent) {
  const QString chosen = Dialogs().SaveFileName(Parent, *this);
  if (chosen.isEmpty()) return false;
  FileName = chosen;
  return true;
}

TDialogs& Dialogs() {
  return gReplacement ? *gReplacement : QtDialogs();
}

void SetDialogs(TDialogs* Replacement) {
  gReplacement = Replacement;
}

void ShowMessage(QWidget* Parent, const QString& Text) {
  Dialogs().MessageBox(Parent, ApplicationTitle(), Text, TBoxKind::Information);
}

void ShowError(QWidget* Parent, const QString& Text) {
  Dialogs().MessageBox(Parent, ApplicationTitle(), Text, TBoxKind::Error);
}

void SetActivationAfterModal(std::function<void()> Handler) {
  gActivationAfterModal = std::move(Handler);
}

void RunActivationAfterModal() {
  if (gActivationAfterModal) gActivationAfterModal();
}

void TRecordingDialogs::MessageBox(QWidget*, const QString& Caption, const QString& Text,
                                   TBoxKind Kind) {
  Boxes.push_back({Caption, Text, Kind});
  RunActivationAfterModal();
}

QString TRecordingDialogs::SaveFileName(QWidget*, const TSaveDialog& Dialog) {
  SaveRequests.push_back(Dialog);
  RunActivationAfterModal();
  return SaveAnswer;
}

QString StartFolderFor(const QString& LastFile) {
  const QFileInfo last(LastFile);
  if (last.isAbsolute() && QFileInfo(last.absolutePath()).isWritable())
    return last.absolutePath() + QLatin1Char('/');
  return QDir::homePath() + QLatin1Char('/');
}

}  // namespace veltra::app
