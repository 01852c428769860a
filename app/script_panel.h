// The "Scripts" page: runs a Lua script (the same scripts as veltra-cli run) with a
// progress line, its log and a Stop button. The script runs on its own thread and
// never waits for this one: its log, progress and result arrive as queued signals.
#pragma once

#include <QWidget>

#include <atomic>
#include <mutex>

#include "automation/script/script_runner.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace veltra::app {

class TScriptPanel : public QWidget {
  Q_OBJECT

 public:
  explicit TScriptPanel(QWidget* parent = nullptr);
  ~TScriptPanel() override;  // stops a running script and waits for it

  QLineEdit* ScriptEdit = nullptr;
  QLineEdit* ArgsEdit = nullptr;
  QPushButton* BBrowse = nullptr;
  QPushButton* BRun = nullptr;
  QPushButton* BStop = nullptr;
  QLabel* ProgressLine = nullptr;
  QLabel* Verdict = nullptr;
  QPlainTextEdit* ScriptLog = nullptr;

  void RunScript();
  void StopScript();
  bool Running() const { return runner_.Running(); }

 signals:
  void LogLineArrived(const QString& line);
  void ProgressArrived();
  void ScriptFinished(const QString& verdict);

 private:
  void BuildPanel();
  void BrowseScript();
  void ShowProgress();
  void ShowFinished(const QString& verdict);

  script::TScriptRunner runner_;
  // The newest progress text; one signal at a time is under way, however fast a
  // script reports.
  std::mutex progressLock_;
  QString progress_;
  std::atomic<bool> progressQueued_{false};
};

}  // namespace veltra::app
