#include "app/script_panel.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace veltra::app {

namespace {

constexpr int kLogLines = 10000;

std::vector<std::string> SplitArgs(const QString& text) {
  std::vector<std::string> args;
  for (const QString& a : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
    args.push_back(a.toStdString());
  return args;
}

QString VerdictText(const script::TScriptResult& r) {
  QString text = QString::fromLatin1(script::OutcomeName(r.Outcome));
  if (!r.Message.empty()) text += QStringLiteral(": ") + QString::fromStdString(r.Message);
  return text;
}

}  // namespace

TScriptPanel::TScriptPanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("ScriptPanel"));
  BuildPanel();
  connect(
      this, &TScriptPanel::LogLineArrived, this,
      [this](const QString& line) { ScriptLog->appendPlainText(line); }, Qt::QueuedConnection);
  connect(this, &TScriptPanel::ProgressArrived, this, &TScriptPanel::ShowProgress,
          Qt::QueuedConnection);
  connect(this, &TScriptPanel::ScriptFinished, this, &TScriptPanel::ShowFinished,
          Qt::QueuedConnection);
  // The runner's events run on the script thread: they only queue.
  runner_.OnLog = [this](const std::string& line) {
    emit LogLineArrived(QString::fromStdString(line));
  };
  runner_.OnProgress = [this](const std::string& text) {
    {
      std::lock_guard lock(progressLock_);
      progress_ = QString::fromStdString(text);
    }
    if (!progressQueued_.exchange(true)) emit ProgressArrived();
  };
  runner_.OnFinished = [this](const script::TScriptResult& r) {
    emit ScriptFinished(VerdictText(r));
  };
}

TScriptPanel::~TScriptPanel() {
  runner_.Stop();
  runner_.Wait();
}

void TScriptPanel::BuildPanel() {
  ScriptEdit = new QLineEdit(this);
  ScriptEdit->setObjectName(QStringLiteral("ScriptEdit"));
  ArgsEdit = new QLineEdit(this);
  ArgsEdit->setObjectName(QStringLiteral("ArgsEdit"));
  ArgsEdit->setPlaceholderText(QStringLiteral("rounds=50 port=/dev/ttyUSB0"));
  BBrowse = new QPushButton(QStringLiteral("..."), this);
  BRun = new QPushButton(QStringLiteral("Run"), this);
  BStop = new QPushButton(QStringLiteral("Stop"), this);
  BStop->setEnabled(false);
  ProgressLine = new QLabel(this);
  Verdict = new QLabel(this);
  ScriptLog = new QPlainTextEdit(this);
  ScriptLog->setReadOnly(true);
  ScriptLog->setMaximumBlockCount(kLogLines);
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(QStringLiteral("Script"), this), 0, 0);
  grid->addWidget(ScriptEdit, 0, 1);
  grid->addWidget(BBrowse, 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("Arguments"), this), 1, 0);
  grid->addWidget(ArgsEdit, 1, 1, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(BRun);
  buttons->addWidget(BStop);
  buttons->addWidget(Verdict, 1);
  grid->addLayout(buttons, 2, 0, 1, 3);
  grid->addWidget(ProgressLine, 3, 0, 1, 3);
  grid->addWidget(ScriptLog, 4, 0, 1, 3);
  connect(BBrowse, &QPushButton::clicked, this, &TScriptPanel::BrowseScript);
  connect(BRun, &QPushButton::clicked, this, &TScriptPanel::RunScript);
  connect(BStop, &QPushButton::clicked, this, &TScriptPanel::StopScript);
}

void TScriptPanel::BrowseScript() {
  const QString path =
      QFileDialog::getOpenFileName(this, QStringLiteral("Script"), ScriptEdit->text(),
                                   QStringLiteral("Lua scripts (*.lua);;All files (*)"));
  if (!path.isEmpty()) ScriptEdit->setText(path);
}

void TScriptPanel::RunScript() {
  if (runner_.Running() || ScriptEdit->text().isEmpty()) return;
  ScriptLog->clear();
  Verdict->clear();
  ProgressLine->setText(QStringLiteral("running"));
  BRun->setEnabled(false);
  BStop->setEnabled(true);
  runner_.Start({ScriptEdit->text().toStdString(), "", SplitArgs(ArgsEdit->text())});
}

void TScriptPanel::StopScript() {
  runner_.Stop();
}

void TScriptPanel::ShowProgress() {
  progressQueued_ = false;
  std::lock_guard lock(progressLock_);
  if (BStop->isEnabled()) ProgressLine->setText(progress_);
}

void TScriptPanel::ShowFinished(const QString& verdict) {
  runner_.Wait();  // the thread has ended or is about to
  Verdict->setText(verdict);
  ProgressLine->clear();
  BRun->setEnabled(true);
  BStop->setEnabled(false);
}

}  // namespace veltra::app
