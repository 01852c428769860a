// Layout of the main window: the pages, the status column and the bottom strip
// around the traffic and error panes.
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QSvgRenderer>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include "app/script_panel.h"
#include "app/veltra.h"
#include "app/widgets.h"

namespace veltra::app {

void TVeltra::BuildWindow() {
  setWindowTitle(QStringLiteral("Veltra by Orvane"));
  setWindowIcon(QIcon(RenderSvg(QStringLiteral(":/veltra/veltra_icon.svg"), QSize(64, 64))));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QPalette grey = palette();
  grey.setColor(QPalette::Window, QColor(0xd4, 0xd0, 0xc8));
  setPalette(grey);
  setAutoFillBackground(true);
  resize(772, 616);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(772 / 2, 616 / 2));
  }

  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  PageControl1->setDocumentMode(false);
  PageControl1->setStyleSheet(QStringLiteral("QTabBar::tab { min-width: 80px; }"));
  PageControl1->addTab(BuildSettingsPage(), QStringLiteral("Settings"));
  PageControl1->addTab(BuildMagellanPage(), QStringLiteral("PSC-Magellan"));
  PageControl1->addTab(BuildScalePage(), QStringLiteral("MT-Scale"));
  PageControl1->addTab(BuildCashDrawerPage(), QStringLiteral("Cash-Drawer"));
  PageControl1->addTab(BuildCommandsPage(), QStringLiteral("Commands"));
  PageControl1->addTab(new TScriptPanel(this), QStringLiteral("Scripts"));
  PageControl1->addTab(BuildSequencesPage(), QStringLiteral("Sequences"));
  PageControl1->setCurrentIndex(0);

  auto* top = new QHBoxLayout;
  top->setSpacing(4);
  top->addWidget(PageControl1, 1);
  top->addWidget(BuildStatusColumn(), 0);

  Memo1 = Named(new QPlainTextEdit(this), "Memo1");
  Memo1->setFont(PaneFont());
  Memo1->setStyleSheet(QStringLiteral("QPlainTextEdit { background: black; color: silver; }"));
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  ErrorMemo = Named(new QPlainTextEdit(this), "ErrorMemo");
  ErrorMemo->setFont(PaneFont());
  ErrorMemo->setStyleSheet(QStringLiteral("QPlainTextEdit { background: silver; color: black; }"));
  ErrorMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  ErrorMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  ErrorMemo->setReadOnly(true);  // a record of what happened, not an input
  ErrorMemo->hide();
  // Both panes share one cell: only the visible one takes the place.
  auto* panes = new QGridLayout;
  panes->addWidget(Memo1, 0, 0);
  panes->addWidget(ErrorMemo, 0, 0);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(4, 4, 4, 4);
  outer->setSpacing(6);
  outer->addLayout(top, 0);
  outer->addLayout(panes, 1);
  outer->addWidget(BuildTrafficTools(), 0);
  outer->addWidget(BuildBottomStrip(), 0);
}

QWidget* TVeltra::BuildMagellanPage() {
  auto* page = new QWidget;
  auto* column = new QVBoxLayout(page);
  column->addWidget(Heading(QStringLiteral("must be connected at Port 1"), page));
  auto* panel = new QGroupBox(QStringLiteral("PSC-Magellan  Send..."), page);
  auto* buttons = new QVBoxLayout(panel);
  Button5 = Button("Button5", QStringLiteral(" 'Enable'"), false, page);
  Button6 = Button("Button6", QStringLiteral(" 'Disable'"), false, page);
  Button7 = Button("Button7", QStringLiteral("'Not-On-File-Beep'"), false, page);
  for (QPushButton* button : {Button5, Button6, Button7}) buttons->addWidget(button);
  column->addWidget(panel);
  column->addStretch();
  return page;
}

QWidget* TVeltra::BuildScalePage() {
  auto* page = new QWidget;
  auto* column = new QVBoxLayout(page);
  column->addWidget(Heading(QStringLiteral("must be connected at Port 1"), page));
  MT = Button("MT", QStringLiteral("Test MT-Scale"), false, page);
  column->addWidget(MT);
  auto* checksum = new QGroupBox(page);
  auto* row = new QHBoxLayout(checksum);
  Edit1 = Edit("Edit1", QStringLiteral("11"), page, 3);
  Edit1->setMaxLength(2);
  Button4 = Button("Button4", QStringLiteral("MT-Scale Checksum"), true, page);
  row->addWidget(new QLabel(QStringLiteral("Random Number:"), page));
  row->addWidget(Edit1);
  row->addWidget(Button4);
  row->addStretch();
  column->addWidget(checksum);
  column->addStretch();
  return page;
}

QWidget* TVeltra::BuildCashDrawerPage() {
  auto* page = new QWidget;
  auto* column = new QVBoxLayout(page);
  auto* drawer = new QGroupBox(QStringLiteral("Cash-Drawer"), page);
  auto* grid = new QGridLayout(drawer);
  PrinterC = Named(new QComboBox(page), "PrinterC");
  PrinterC->setMinimumWidth(200);
  RBDrawer1 = Named(new QRadioButton(QStringLiteral("Drawer 1"), page), "RBDrawer1");
  RBDrawer2 = Named(new QRadioButton(QStringLiteral("Drawer 2"), page), "RBDrawer2");
  RBDrawer1->setChecked(true);
  auto* drawers = new QButtonGroup(page);
  drawers->addButton(RBDrawer1);
  drawers->addButton(RBDrawer2);
  auto timeEdit = [page](const char* name, int value) {
    auto* edit = Named(new QSpinBox(page), name);
    edit->setRange(0, 510);
    // The printer takes the time in 2 ms steps as one byte: 510 ms is the most.
    edit->setToolTip(QStringLiteral("0 to 510 ms, sent in steps of 2 ms"));
    edit->setValue(value);
    return edit;
  };
  OnTime = timeEdit("OnTime", 50);
  OffTime = timeEdit("OffTime", 100);
  JvHTButton1 = Button("JvHTButton1", QStringLiteral("Send Signal"), true, page);
  grid->addWidget(new QLabel(QStringLiteral("Printer"), page), 0, 0);
  grid->addWidget(PrinterC, 0, 1, 1, 3);
  grid->addWidget(RBDrawer1, 1, 0);
  grid->addWidget(RBDrawer2, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("On-Time"), page), 2, 0);
  grid->addWidget(OnTime, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("ms"), page), 2, 2);
  grid->addWidget(new QLabel(QStringLiteral("Off-Time"), page), 3, 0);
  grid->addWidget(OffTime, 3, 1);
  grid->addWidget(new QLabel(QStringLiteral("ms"), page), 3, 2);
  grid->addWidget(JvHTButton1, 4, 0, 1, 2);
  column->addWidget(drawer);

  auto* ecr = new QGroupBox(QStringLiteral("Tests with Electronic Cash Registers"), page);
  auto* ecrRow = new QHBoxLayout(ecr);
  Button3 = Button("Button3", QStringLiteral("ER-650 Report Test"), false, page);
  ecrRow->addWidget(Button3);
  ecrRow->addStretch();
  column->addWidget(ecr);
  column->addStretch();
  return page;
}

QWidget* TVeltra::BuildCommandsPage() {
  auto* page = new QWidget;
  auto* column = new QVBoxLayout(page);
  column->addWidget(Heading(QStringLiteral("to Port 1"), page));
  BSend = Button("BSend", QStringLiteral("Send Text"), false, page);
  BAscii = Button("BAscii", QStringLiteral("Send as ASC"), false, page);
  BAscii->setToolTip(QStringLiteral(
      "Values must be entered as 3-digit-ASCII-values separated with a single space"));
  BACK = Button("BACK", QStringLiteral("Send ACK"), false, page);
  BNAK = Button("BNAK", QStringLiteral("Send NAK"), false, page);
  BESC = Button("BESC", QStringLiteral("Send ESC"), false, page);
  BENQ = Button("BENQ", QStringLiteral("Send ENQ"), false, page);
  BETX = Button("BETX", QStringLiteral("Send ETX"), false, page);
  BDLE = Button("BDLE", QStringLiteral("Send DLE"), false, page);
  BSTX = Button("BSTX", QStringLiteral("Send STX"), false, page);
  BEOT = Button("BEOT", QStringLiteral("Send EOT"), false, page);
  auto* grid = new QGridLayout;
  grid->addWidget(BSend, 0, 0);
  grid->addWidget(BAscii, 0, 1);
  int slot = 0;
  for (QPushButton* button : {BACK, BNAK, BESC, BENQ, BETX, BDLE, BSTX, BEOT}) {
    grid->addWidget(button, 1 + slot / 2, slot % 2);
    ++slot;
  }
  column->addLayout(grid);
  column->addStretch();
  return page;
}

QWidget* TVeltra::BuildStatusColumn() {
  auto* column = new QWidget(this);
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);

  // The connector picture with the line lamps laid over it at the pins' rows, and
  // the hold lamps with their captions to its right.
  auto* lamps = new QWidget(column);
  lamps->setFixedSize(232, 160);
  PortImage = Named(new QLabel(lamps), "PortImage");
  PortImage->setPixmap(RenderSvg(QStringLiteral(":/veltra/connector.svg"), QSize(140, 160)));
  PortImage->setGeometry(0, 0, 140, 160);
  auto lampAt = [lamps](const char* name, int x, int pin) {
    auto* lamp = Named(new QLabel(lamps), name);
    lamp->setGeometry(x, 16 * pin - 8, kLampSize, kLampSize);
    return lamp;
  };
  DCDImage = lampAt("DCDImage", 118, 1);
  RxDImage = lampAt("RxDImage", 118, 2);
  TxDImage = lampAt("TxDImage", 118, 3);
  DTRImage = lampAt("DTRImage", 118, 4);
  DSRImage = lampAt("DSRImage", 118, 6);
  RTSImage = lampAt("RTSImage", 118, 7);
  CTSImage = lampAt("CTSImage", 118, 8);
  RIImage = lampAt("RIImage", 118, 9);
  auto holdAt = [&](const char* name, int pin, const QString& caption) {
    QLabel* lamp = lampAt(name, 142, pin);
    auto* text = new QLabel(caption, lamps);
    text->setGeometry(160, 16 * pin - 9, 72, 18);
    return lamp;
  };
  RLSHoldImage = holdAt("RLSHoldImage", 1, QStringLiteral("DCD Flow"));
  XOffHoldImage = holdAt("XOffHoldImage", 2, QStringLiteral("RxD XOffOn "));
  XOnSendImage = holdAt("XOnSendImage", 3, QStringLiteral("TxD XOffOn"));
  DSRHoldImage = holdAt("DSRHoldImage", 6, QStringLiteral("DSR Flow"));
  CTSHoldImage = holdAt("CTSHoldImage", 8, QStringLiteral("CTS Flow"));
  layout->addWidget(lamps, 0, Qt::AlignHCenter);

  BOpen = Button("BOpen", QStringLiteral("Open Port 1"), false, column);
  BInit = Button("BInit", QStringLiteral("Close Ports"), false, column);
  Spy = Button("Spy", QStringLiteral("Spy-Mode on two Ports"), false, column);
  BStart = Button("BStart", QStringLiteral("Start"), true, column);
  BEnd = Button("BEnd", QStringLiteral("End"), true, column);
  auto* buttons = new QGridLayout;
  buttons->setSpacing(4);
  buttons->addWidget(BOpen, 0, 0);
  buttons->addWidget(BInit, 0, 1);
  buttons->addWidget(Spy, 1, 0, 1, 2);
  buttons->addWidget(BStart, 2, 0);
  buttons->addWidget(BEnd, 2, 1);
  layout->addLayout(buttons);

  Image1 = Named(new QLabel(column), "Image1");
  Image1->setPixmap(RenderSvg(QStringLiteral(":/veltra/image1.svg"), QSize(228, 53)));
  Image1->setAlignment(Qt::AlignCenter);
  layout->addWidget(Image1);
  layout->addStretch();
  column->setFixedWidth(232);
  return column;
}

QWidget* TVeltra::BuildBottomStrip() {
  auto* strip = new QWidget(this);
  strip->setObjectName(QStringLiteral("BottomPanel"));
  strip->setAutoFillBackground(true);
  QPalette black = strip->palette();
  black.setColor(QPalette::Window, Qt::black);
  black.setColor(QPalette::WindowText, QColor(0xd0, 0xd0, 0xd0));
  strip->setPalette(black);
  auto* row = new QHBoxLayout(strip);
  row->setContentsMargins(6, 4, 6, 4);
  row->setSpacing(8);

  ProgressTxDQueue = Named(new QProgressBar(strip), "ProgressTxDQueue");
  ProgressRxDQueue = Named(new QProgressBar(strip), "ProgressRxDQueue");
  auto* queues = new QGridLayout;
  queues->setVerticalSpacing(2);
  int line = 0;
  for (auto [bar, caption] :
       {std::pair{ProgressTxDQueue, "TxD Queue"}, std::pair{ProgressRxDQueue, "RxD Queue"}}) {
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setFixedSize(84, 12);
    queues->addWidget(new QLabel(QString::fromLatin1(caption), strip), line, 0);
    queues->addWidget(bar, line, 1);
    ++line;
  }
  row->addLayout(queues);

  Bytes = LcdLabel(QStringLiteral("Bytes"), QStringLiteral("0"), 12, 8, strip);
  auto* counter = new QVBoxLayout;
  counter->setSpacing(1);
  counter->addWidget(new QLabel(QStringLiteral("Bytes recieved:"), strip));
  counter->addWidget(Bytes);
  row->addLayout(counter);

  // The buttons, with the status line under them across their whole width: it
  // must show its longest messages whole.
  Button1 = Button("Button1", QStringLiteral("Reset Counter"), true, strip);
  Button2 = Button("Button2", QStringLiteral("Clear Display"), true, strip);
  JvHTButton2 = Button("JvHTButton2", QStringLiteral("Log"), true, strip);
  JvHTButton5 = Button("JvHTButton5", QStringLiteral("Save Logs"), true, strip);
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(6);
  for (QPushButton* button : {Button1, Button2, JvHTButton2}) buttons->addWidget(button);
  buttons->addStretch();
  buttons->addWidget(JvHTButton5);
  buttons->addWidget(BuildRecordControl(strip));
  Mess = LcdLabel(QStringLiteral("Mess"), QStringLiteral("Idle"), 14, 24, strip);
  auto* right = new QVBoxLayout;
  right->setSpacing(3);
  right->addLayout(buttons);
  right->addWidget(Mess);
  row->addLayout(right, 1);
  return strip;
}

// ---------------------------------------------------------------------------------
// Wiring

}  // namespace veltra::app
