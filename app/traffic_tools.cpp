// The traffic pane's tools: decoded lines under each block, per port; the time since
// the previous block on its header; search (Ctrl+F) over the pane and its history,
// filtered by port and direction.
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTextBlock>

#include <cstdio>

#include "app/logic/log_search.h"
#include "app/veltra.h"

namespace veltra::app {

namespace {

// The device on a port, as the lists offer it.
constexpr std::pair<const char*, decode::Protocol> kDevices[] = {
    {"none", decode::Protocol::None},
    {"printer", decode::Protocol::Printer},
    {"scale", decode::Protocol::Scale},
    {"cash register", decode::Protocol::CashRegister},
    {"scanner", decode::Protocol::Scanner},
};

QComboBox* DeviceList(const char* name, QWidget* parent) {
  auto* list = new QComboBox(parent);
  list->setObjectName(QString::fromLatin1(name));
  for (const auto& [caption, protocol] : kDevices) list->addItem(QString::fromLatin1(caption));
  return list;
}

decode::Protocol Chosen(const QComboBox* list) {
  return kDevices[std::max(0, list->currentIndex())].second;
}

}  // namespace

QWidget* TVeltra::BuildTrafficTools() {
  auto* tools = new QWidget(this);
  tools->setObjectName(QStringLiteral("TrafficTools"));
  auto* column = new QVBoxLayout(tools);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(2);
  auto* row = new QHBoxLayout;
  CBDecode = new QCheckBox(QStringLiteral("Decode"), tools);
  CBDecode->setObjectName(QStringLiteral("CBDecode"));
  CBDecode->setToolTip(QStringLiteral("Decoded lines under each block, marked \"  >> \""));
  CBDecode1 = DeviceList("CBDecode1", tools);
  CBDecode2 = DeviceList("CBDecode2", tools);
  CBBlockTime = new QCheckBox(QStringLiteral("Time since previous block"), tools);
  CBBlockTime->setObjectName(QStringLiteral("CBBlockTime"));
  row->addWidget(CBDecode);
  row->addWidget(new QLabel(QStringLiteral("Port 1:"), tools));
  row->addWidget(CBDecode1);
  row->addWidget(new QLabel(QStringLiteral("Port 2:"), tools));
  row->addWidget(CBDecode2);
  row->addSpacing(12);
  row->addWidget(CBBlockTime);
  row->addStretch();
  column->addLayout(row);
  column->addWidget(BuildFindBar(tools));
  for (QComboBox* list : {CBDecode1, CBDecode2})
    connect(list, &QComboBox::currentIndexChanged, this, [this] { DecodeChanged(); });
  connect(CBDecode, &QCheckBox::toggled, this, [this] { DecodeChanged(); });
  auto* find = new QShortcut(QKeySequence::Find, this);
  connect(find, &QShortcut::activated, this, [this] { ShowFindBar(); });
  return tools;
}

QWidget* TVeltra::BuildFindBar(QWidget* Parent) {
  FindBar = new QWidget(Parent);
  FindBar->setObjectName(QStringLiteral("FindBar"));
  auto* row = new QHBoxLayout(FindBar);
  row->setContentsMargins(0, 0, 0, 0);
  FindEdit = new QLineEdit(FindBar);
  FindEdit->setObjectName(QStringLiteral("FindEdit"));
  FindEdit->setPlaceholderText(QStringLiteral("text, or hex bytes: 1B 40"));
  FindPrevious = new QPushButton(QStringLiteral("Previous"), FindBar);
  FindNext = new QPushButton(QStringLiteral("Next"), FindBar);
  FindPort = new QComboBox(FindBar);
  FindPort->addItems({QStringLiteral("Both ports"), QStringLiteral("Port 1"), QStringLiteral("Port 2")});
  FindDirection = new QComboBox(FindBar);
  FindDirection->addItems(
      {QStringLiteral("Any direction"), QStringLiteral("Received"), QStringLiteral("Sent")});
  FindCount = new QLabel(FindBar);
  FindCount->setObjectName(QStringLiteral("FindCount"));
  auto* close = new QPushButton(QStringLiteral("Close"), FindBar);
  row->addWidget(new QLabel(QStringLiteral("Find:"), FindBar));
  for (QWidget* w : std::initializer_list<QWidget*>{FindEdit, FindPrevious, FindNext, FindPort,
                                                    FindDirection, FindCount, close})
    row->addWidget(w, w == FindEdit || w == FindCount ? 1 : 0);
  connect(FindNext, &QPushButton::clicked, this, [this] { FindStep(true); });
  connect(FindPrevious, &QPushButton::clicked, this, [this] { FindStep(false); });
  connect(FindEdit, &QLineEdit::returnPressed, this, [this] { FindStep(true); });
  connect(FindEdit, &QLineEdit::textChanged, this, [this] { FindChanged(); });
  for (QComboBox* list : {FindPort, FindDirection})
    connect(list, &QComboBox::currentIndexChanged, this, [this] { FindChanged(); });
  connect(close, &QPushButton::clicked, FindBar, &QWidget::hide);
  FindBar->hide();
  return FindBar;
}

void TVeltra::DecodeChanged() {
  const bool on = CBDecode->isChecked();
  Port1Decoding.SetProtocol(on ? Chosen(CBDecode1) : decode::Protocol::None);
  Port2Decoding.SetProtocol(on ? Chosen(CBDecode2) : decode::Protocol::None);
}

std::string TVeltra::BlockHeader(std::string_view Prefix) {
  std::string header = session::LogHeader(Prefix, session::LocalNow());
  const auto now = std::chrono::steady_clock::now();
  if (CBBlockTime->isChecked() && FLastBlock) {
    char since[32];
    std::snprintf(since, sizeof since, " +%.3f s",
                  std::chrono::duration<double>(now - *FLastBlock).count());
    header += since;
  }
  FLastBlock = now;
  return header;
}

// --- search ------------------------------------------------------------------------

void TVeltra::ShowFindBar() {
  FindBar->show();
  FindEdit->setFocus();
  FindEdit->selectAll();
}

void TVeltra::FindChanged() {
  FMatchLines.clear();
  FindCount->clear();
}

namespace {

logic::TLogSearch SearchOf(const QLineEdit* edit, const QComboBox* port, const QComboBox* way) {
  return logic::TLogSearch(edit->text().toLatin1().toStdString(),
                           {port->currentIndex(), way->currentIndex()});
}

// The pane's lines with matches, and their number.
std::uint64_t MatchesInPane(QPlainTextEdit* pane, logic::TLogSearch& search,
                            std::vector<int>& lines) {
  lines.clear();
  std::uint64_t count = 0;
  int number = 0;
  for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next(), ++number) {
    const QByteArray latin1 = b.text().toLatin1();
    const std::size_t n = search.Line(std::string_view(latin1.constData(), latin1.size()));
    if (n) lines.push_back(number);
    count += n;
  }
  return count;
}

void SelectLine(QPlainTextEdit* pane, int number) {
  const QTextBlock block = pane->document()->findBlockByNumber(number);
  QTextCursor cursor(block);
  cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  pane->setTextCursor(cursor);
  pane->centerCursor();
}

}  // namespace

void TVeltra::FindStep(bool Forward) {
  Memo1Log.Flush();
  auto search = SearchOf(FindEdit, FindPort, FindDirection);
  if (search.Empty()) return;
  const std::uint64_t inHistory = CountInHistory(Memo1History, search);
  auto paneSearch = SearchOf(FindEdit, FindPort, FindDirection);
  std::uint64_t inPane = MatchesInPane(Memo1, paneSearch, FMatchLines);
  int caretLine = Memo1->textCursor().blockNumber();
  const bool selected = Memo1->textCursor().hasSelection();
  auto next = [&]() -> int {
    if (Forward) {
      for (int line : FMatchLines)
        if (line > caretLine || (!selected && line == caretLine)) return line;
      return -1;
    }
    for (auto it = FMatchLines.rbegin(); it != FMatchLines.rend(); ++it)
      if (*it < caretLine) return *it;
    return -1;
  };
  int line = next();
  // Older matches are in the history: it comes back into the pane a block at a time.
  std::uint64_t left = inHistory;
  while (!Forward && line < 0 && left > 0) {
    const std::size_t added = Memo1Log.ReadBackOlder();
    if (added == 0) break;
    caretLine += static_cast<int>(added);
    auto again = SearchOf(FindEdit, FindPort, FindDirection);
    const std::uint64_t now = MatchesInPane(Memo1, again, FMatchLines);
    left -= std::min(left, now - inPane);
    inPane = now;
    line = next();
  }
  if (line >= 0) SelectLine(Memo1, line);
  FindCount->setText(QStringLiteral("%1 in the pane, %2 in its history%3")
                         .arg(inPane)
                         .arg(left)
                         .arg(line < 0 ? QStringLiteral(" (no more this way)") : QString()));
}

}  // namespace veltra::app
