// The "Sequences" page on its own: buttons and shortcuts send their sequence to
// their port, edits in place are taken only when they hold together, and the
// library file is saved, but never over one that could not be read.
#include <QComboBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>

#include "app/sequence_panel.h"

using veltra::app::TSequencePanel;
using veltra::automation::TSendStep;

namespace {

const char* kLibrary = R"({
  "sequences": [
    {"name": "Enable", "key": "Ctrl+1", "parts": [{"text": "E"}, {"wait": 50}, {"control": "CR"}]},
    {"name": "Weight", "port": 2, "parts": [{"hex": "04 05"}]}
  ],
  "triggers": [
    {"name": "ack", "text": "E", "send": "Enable"}
  ]
})";

struct Played {
  int port = 0;
  std::vector<TSendStep> steps;
  QString name;
};

}  // namespace

class TestSequencePanel : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  std::string Write(const char* name, const std::string& text) {
    const std::string path = dir_.filePath(QString::fromLatin1(name)).toStdString();
    std::ofstream(path) << text;
    return path;
  }

 private slots:
  void buttonsAndShortcutsSendToTheirPort() {
    TSequencePanel panel;
    std::vector<Played> played;
    panel.OnPlay = [&](int port, const std::vector<TSendStep>& steps, const QString& name) {
      played.push_back({port, steps, name});
    };
    panel.LoadLibrary(Write("buttons.json", kLibrary));
    QCOMPARE(panel.SequenceButtons.size(), std::size_t{2});
    QCOMPARE(panel.SequenceButtons[1]->text(), QStringLiteral("Weight (P2)"));
    panel.SequenceButtons[1]->click();
    QCOMPARE(played.size(), std::size_t{1});
    QCOMPARE(played[0].port, 2);
    QCOMPARE(played[0].steps.size(), std::size_t{1});
    QCOMPARE(played[0].steps[0].Bytes, std::string("\x04\x05"));

    panel.show();
    panel.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&panel));
    QTest::keyClick(&panel, Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(played.size(), std::size_t{2});
    QCOMPARE(played[1].name, QStringLiteral("Enable"));
    QCOMPARE(played[1].port, 1);
    QCOMPARE(played[1].steps.size(), std::size_t{2});  // the wait splits the writes
  }

  void editsInPlaceAreTakenWhenTheyHoldTogether() {
    TSequencePanel panel;
    int triggerChanges = 0;
    panel.OnTriggersChanged = [&] { ++triggerChanges; };
    const std::string path = Write("edit.json", kLibrary);
    panel.LoadLibrary(path);
    panel.SequenceList->setCurrentRow(0);
    panel.NameEdit->setText(QStringLiteral("Enable scanner"));
    emit panel.NameEdit->editingFinished();
    QCOMPARE(panel.Library().Sequences[0].Name, std::string("Enable scanner"));
    QCOMPARE(panel.Library().Triggers[0].Send, std::string("Enable scanner"));  // follows the name
    QCOMPARE(panel.SequenceButtons[0]->text(), QStringLiteral("Enable scanner (P1)"));

    panel.SequenceList->setCurrentRow(1);
    panel.PartTable->item(0, 1)->setText(QStringLiteral("04 0G"));  // not taken
    QCOMPARE(panel.Status->text(),
             QStringLiteral("sequence \"Weight\": part 1 (hex): 'G' is not a hex digit or a separator"));
    QCOMPARE(panel.Library().Sequences[1].Parts[0].Value, std::string("04 05"));

    panel.TriggerTable->item(0, 3)->setText(QStringLiteral("D"));
    QCOMPARE(panel.Library().Triggers[0].Pattern.Text, std::string("D"));
    QVERIFY(triggerChanges >= 2);
    panel.BSave->click();
    QCOMPARE(panel.Status->text(), QStringLiteral("Saved to ") + QString::fromStdString(path));
    TSequencePanel again;
    again.LoadLibrary(path);
    QCOMPARE(again.Library().Sequences[0].Name, std::string("Enable scanner"));
  }

  void aFileThatCannotBeReadIsNotWrittenOver() {
    TSequencePanel panel;
    const std::string path = Write("bad.json", "{\n  \"sequences\": [\n    {\"name\": 1}]}");
    panel.LoadLibrary(path);
    QCOMPARE(panel.Status->text(), QString::fromStdString(path) + ":3: a sequence name is a string (\"...\")");
    panel.BNewSequence->click();
    panel.BSave->click();
    QVERIFY(panel.Status->text().startsWith(QStringLiteral("Not saved:")));
    std::ifstream in(path);
    QCOMPARE(std::string(std::istreambuf_iterator<char>(in), {}),
             std::string("{\n  \"sequences\": [\n    {\"name\": 1}]}"));
  }
};

QTEST_MAIN(TestSequencePanel)
#include "test_sequence_panel.moc"
