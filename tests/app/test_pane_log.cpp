// The pane's bound and view with a real QPlainTextEdit, shown offscreen.
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QtTest>

#include <memory>

#include "app/logic/line_history.h"
#include "app/pane_log.h"

using veltra::app::TPaneLog;
using veltra::logic::TLineHistory;

namespace {

std::string LineText(int n) {
  return "line " + std::to_string(n);
}

QString TopLine(QPlainTextEdit* pane) {
  return pane->cursorForPosition(QPoint(0, 0)).block().text();
}

// The whole text the pane gives for "Send Text": lines joined by CR LF.
QByteArray Joined(const QStringList& lines) {
  return lines.join("\r\n").toLatin1() + "\r\n";
}

}  // namespace

class TestPaneLog : public QObject {
  Q_OBJECT

 private slots:
  void keepsTheNewestLinesNeverMoreAndNeverAGap() {
    auto owner = std::make_unique<QPlainTextEdit>();
    QPlainTextEdit* pane = owner.get();
    TPaneLog log(pane, [] { return 1000; });
    // At every change the pane holds at most 1000 consecutive lines.
    bool consecutive = true;
    connect(pane->document(), &QTextDocument::contentsChanged, this, [&] {
      int expected = -1;
      for (QTextBlock b = pane->document()->begin(); b.isValid() && b.length() > 1; b = b.next()) {
        const int n = b.text().mid(5).toInt();
        consecutive = consecutive && (expected < 0 || n == expected);
        expected = n + 1;
      }
      consecutive = consecutive && pane->document()->blockCount() <= 1001;
    });
    for (int i = 0; i < 1000; ++i) log.Add(LineText(i));
    log.Flush();
    for (int i = 1000; i < 4000; ++i) log.Add(LineText(i));  // more than the pane takes at once
    QTRY_COMPARE(pane->document()->lastBlock().previous().text(), QString("line 3999"));
    QCOMPARE(log.LineCount(), 1000);
    QCOMPARE(pane->document()->firstBlock().text(), QString("line 3000"));
    QVERIFY(consecutive);
  }

  void viewFollowsOnlyAtTheBottom() {
    QPlainTextEdit pane;
    QPlainTextEdit* pointer = &pane;
    pane.setLineWrapMode(QPlainTextEdit::NoWrap);  // as the window's panes
    pane.resize(300, 200);
    pane.show();
    TPaneLog log(pointer, [] { return 1000; });
    for (int i = 0; i < 900; ++i) log.Add(LineText(i));
    log.Flush();
    QScrollBar* bar = pane.verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    log.Add(std::string(2000, 'x'));  // the horizontal scroll bar comes, later
    log.Flush();
    QTRY_VERIFY(pane.horizontalScrollBar()->isVisible());
    QCOMPARE(bar->value(), bar->maximum());
    bar->setValue(300);
    const QString top = TopLine(&pane);
    for (int i = 900; i < 1200; ++i) log.Add(LineText(i));
    log.Flush();  // 201 of the oldest lines go
    QCOMPARE(TopLine(&pane), top);
    QVERIFY(bar->value() < bar->maximum());
  }

  void readsBackIntoItsHistoryWithoutAJumpOrAGap() {
    QPlainTextEdit pane;
    QPlainTextEdit* pointer = &pane;
    pane.setLineWrapMode(QPlainTextEdit::NoWrap);
    pane.resize(300, 200);
    pane.show();
    TLineHistory history;
    TPaneLog log(pointer, [] { return 100; }, &history);
    log.SetReadBack(400, 40);
    QStringList all;
    for (int i = 0; i < 300; ++i) all << QString::fromStdString(LineText(i));
    // Typed by the operator: it leaves the pane and comes back as typed.
    all[0] = QString("typed \u20AC");
    QTextCursor(pane.document()).insertText(all[0] + "\n");
    for (int i = 1; i < 300; ++i) log.Add(LineText(i));
    log.Flush();
    QCOMPARE(log.LineCount(), 100);
    QCOMPARE(history.Lines(), 200u);
    QByteArray whole = Joined(all);
    whole.replace("\xE2\x82\xAC", "?");
    QCOMPARE(log.Text(), whole);

    QTextCursor selection(pane.document()->findBlockByNumber(50));
    selection.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    pane.setTextCursor(selection);
    QScrollBar* bar = pane.verticalScrollBar();
    for (std::size_t left = 160; left != std::size_t(-40); left -= 40) {
      bar->setValue(0);
      const QString top = TopLine(&pane);
      QTRY_COMPARE(history.Lines(), left);
      QCOMPARE(TopLine(&pane), top);
      QCOMPARE(pane.textCursor().selectedText(), QString("line 250"));
    }
    QCOMPARE(pane.document()->firstBlock().text(), all[0]);
    QCOMPARE(log.Text(), whole);

    // Data while reading: nothing moves; at the bottom the pane goes back to 100 lines.
    for (int i = 300; i < 400; ++i) log.Add(LineText(i));
    log.Flush();
    QCOMPARE(pane.document()->firstBlock().text(), all[0]);
    QCOMPARE(pane.textCursor().selectedText(), QString("line 250"));
    bar->setValue(bar->maximum());
    QTRY_COMPARE(log.LineCount(), 100);
    for (int i = 300; i < 400; ++i) all << QString::fromStdString(LineText(i));
    QCOMPARE(QString::fromLatin1(log.Text()), QString::fromLatin1(Joined(all)).replace(QChar(0x20AC), '?'));
  }
};

QTEST_MAIN(TestPaneLog)
#include "test_pane_log.moc"
