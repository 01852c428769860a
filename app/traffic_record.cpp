// "Record": every entry of the traffic pane also goes to a file as it is added, in the
// form "Save Logs" writes, so a long session keeps a full record although the pane
// keeps only its latest lines.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>

#include "app/dialogs.h"
#include "app/veltra.h"
#include "session/log_lines.h"

namespace veltra::app {

namespace {

const char* const kRecordCaption = "Record";
const char* const kStopCaption = "Stop Record";
const char* const kIdleTip = "Write every entry of the traffic pane to a file as it comes";
// Error pane lines of the record, as wide as the ports' "P1:Msg  ".
constexpr const char* kRecordPrefix = "Record  ";

void ShowIdle(QPushButton* button, const QString& tip) {
  button->setText(QString::fromLatin1(kRecordCaption));
  button->setToolTip(tip);
}

}  // namespace

QPushButton* TVeltra::BuildRecordControl(QWidget* Strip) {
  RecordButton = new QPushButton(QString::fromLatin1(kRecordCaption), Strip);
  RecordButton->setObjectName(QStringLiteral("RecordButton"));
  RecordButton->setToolTip(QString::fromLatin1(kIdleTip));
  RecordTo.Title = QStringLiteral("Record Traffic to");
  RecordTo.DefaultExt = QStringLiteral("txt");
  RecordTo.FileName = QStringLiteral("Veltra-traffic.txt");
  RecordTo.InitialDir = QDir::homePath() + QLatin1Char('/');
  TrafficRecord.OnStopped = [this](const std::string& Reason) { RecordStopped(Reason); };
  connect(RecordButton, &QPushButton::clicked, this, Guarded(&TVeltra::RecordButtonClick));
  return RecordButton;
}

void TVeltra::RecordButtonClick() {
  if (TrafficRecord.Active()) {
    StopRecord();
    return;
  }
  if (!RecordTo.Execute(this)) return;
  const std::string failure = TrafficRecord.Start(QFile::encodeName(RecordTo.FileName).toStdString());
  if (!failure.empty()) {
    ShowError(this, "Cannot create file \"" + RecordTo.FileName + "\". " +
                        QString::fromLocal8Bit(failure.c_str()));
    return;
  }
  RecordTo.InitialDir = QFileInfo(RecordTo.FileName).absolutePath() + QLatin1Char('/');
  Memo1Log.SetRecord(&TrafficRecord);
  RecordButton->setText(QString::fromLatin1(kStopCaption));
  RecordButton->setToolTip("Recording to " + RecordTo.FileName);
}

void TVeltra::StopRecord() {
  Memo1Log.SetRecord(nullptr);
  ShowIdle(RecordButton, QString::fromLatin1(kIdleTip));
  TrafficRecord.Stop();  // a failure to write the rest still reports
}

void TVeltra::RecordStopped(const std::string& Reason) {
  Memo1Log.SetRecord(nullptr);
  const QString text = "Recording to \"" + QFile::decodeName(TrafficRecord.Path().c_str()) +
                       "\" stopped: " + QString::fromLocal8Bit(Reason.c_str());
  ErrorMemoLog.Add(session::LogHeader(kRecordPrefix, session::LocalNow()) +
                   text.toLatin1().toStdString());
  ShowIdle(RecordButton, text);
}

}  // namespace veltra::app
