#include "app/dialogs.h"

#include <QApplication>
#include <QFileDialog>
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
    dialog.selectFile(Dialog.FileName);
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

}  // namespace veltra::app
