// The window's script panel: an example runs against a built-in device while the
// GUI thread stays free, and Stop ends an endless script.
#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/script_panel.h"

using veltra::app::TScriptPanel;

class TestScriptPanel : public QObject {
  Q_OBJECT

 private slots:
  void runsAnExample() {
    TScriptPanel panel;
    panel.ScriptEdit->setText(QStringLiteral(VELTRA_EXAMPLES_DIR "/scanner_check.lua"));
    panel.ArgsEdit->setText(QStringLiteral("timeout=20"));  // for a slow machine
    QTest::mouseClick(panel.BRun, Qt::LeftButton);
    QVERIFY(!panel.BRun->isEnabled() && panel.BStop->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!panel.Verdict->text().isEmpty(), 20000);
    QCOMPARE(panel.Verdict->text(), QStringLiteral("PASS: enable, beep and disable acknowledged"));
    QVERIFY(panel.ScriptLog->toPlainText().contains(QStringLiteral("disable: ACK")));
    QVERIFY(panel.BRun->isEnabled() && !panel.BStop->isEnabled());
  }

  void stopEndsAnEndlessScript() {
    QTemporaryFile script(QDir::tempPath() + QStringLiteral("/XXXXXX.lua"));
    QVERIFY(script.open());
    script.write("progress('spinning ' .. arg.n)\nwhile true do end\n");
    script.close();
    TScriptPanel panel;
    panel.ScriptEdit->setText(script.fileName());
    panel.ArgsEdit->setText(QStringLiteral("n=7"));
    QTest::mouseClick(panel.BRun, Qt::LeftButton);
    // The progress line comes through the event loop while the script spins.
    QTRY_COMPARE_WITH_TIMEOUT(panel.ProgressLine->text(), QStringLiteral("spinning 7"), 20000);
    QTest::mouseClick(panel.BStop, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(panel.Verdict->text(), QStringLiteral("STOPPED: stopped"), 20000);
  }
};

QTEST_MAIN(TestScriptPanel)
#include "test_script_panel.moc"
