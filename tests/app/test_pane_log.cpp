// The pane's bound and view with a real QPlainTextEdit, shown offscreen.
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QtTest>

#include <memory>

#include "app/pane_log.h"

using veltra::app::TPaneLog;

namespace {

std::string LineText(int n) {
  return "line " + std::to_string(n);
}

QString TopLine(QPlainTextEdit* pane) {
  return pane->cursorForPosition(QPoint(0, 0)).block().text();
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
};

QTEST_MAIN(TestPaneLog)
#include "test_pane_log.moc"
