// Construction and layout of the main window, and its creation, activation and
// close events.
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

#include "app/app_errors.h"
#include "app/lcd_label.h"
#include "app/script_panel.h"
#include "app/veltra.h"
#include "platform/discovery/port_discovery.h"

#ifdef VELTRA_HAVE_PRINTER
#include "printer/raw_printer.h"
#endif

namespace veltra::app {

#ifdef VELTRA_HAVE_PRINTER
void TRAWPrinterDeleter::operator()(printer::TRAWPrinter* p) const {
  delete p;
}
#else
// Without the printer layer DDruck is never created.
void TRAWPrinterDeleter::operator()(printer::TRAWPrinter*) const {}
#endif

namespace {

constexpr int kLampSize = 16;
constexpr const char* kLampProperty = "veltraLampImage";

// Drawn at the screens' pixel ratio, so the artwork stays sharp on scaled displays.
QPixmap RenderSvg(const QString& path, QSize size) {
  const qreal ratio = qApp->devicePixelRatio();
  QSvgRenderer renderer(path);
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

// Bold red on black, in "LcdD" where it is installed, else the fixed-pitch font.
QFont LcdFont(int pointSize) {
  QFont font = QFontDatabase::families().contains(QStringLiteral("LcdD"))
                   ? QFont(QStringLiteral("LcdD"))
                   : QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(pointSize);
  font.setBold(true);
  return font;
}

QLabel* LcdLabel(const QString& name, const QString& caption, int pointSize, int hintChars,
                 QWidget* parent) {
  auto* label = new TLcdLabel(caption, hintChars, parent);
  label->setObjectName(name);
  label->setFont(LcdFont(pointSize));
  return label;
}

// The traffic pane's font: bold "Courier", or the nearest fixed-pitch font.
QFont PaneFont() {
  QFont font(QStringLiteral("Courier"));
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setBold(true);
  font.setPointSize(9);
  return font;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Construction

TVeltra::TVeltra(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Veltra"));
  // Workers queue their events; the event loop serves them on this thread.
  OwnerCalls.OnCallQueued = [this] {
    QMetaObject::invokeMethod(
        this, [this] { OwnerCalls.ServePending(); }, Qt::QueuedConnection);
  };
  PaneSink = std::make_unique<TPaneSink>(*this);
  // The TxD lamp goes dark when either port has drained its output.
  const session::TSessionOptions options{.WatchTxEmpty = true};
  Session1 = std::make_unique<session::TPortSession>(OwnerCalls, session::kPort1Prefixes, *PaneSink,
                                                     options);
  Session2 = std::make_unique<session::TPortSession>(OwnerCalls, session::kPort2Prefixes, *PaneSink,
                                                     options);
  SerialPort1 = &Session1->Port();
  SerialPort2 = &Session2->Port();
  for (TSerialPort* port : {SerialPort1, SerialPort2}) {
    port->SetCommPort("COM1");
    port->SetErrorNoise(255);
    port->SetThreadQuietMode(false);
  }
#ifdef VELTRA_HAVE_PRINTER
  DDruck.reset(new printer::TRAWPrinter());
  DDruck->SetDocumentTitle("CashDrawerSignal");
#endif
  SaveTo.Title = QStringLiteral("Save Logs to");
  SaveTo.DefaultExt = QStringLiteral("log");
  SaveTo.FileName = QStringLiteral("Veltra.log");
  SaveTo.InitialDir = QStringLiteral("C:\\");

  LoadLampImages();
  BuildWindow();
  WireComponents();
  WireControls();

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(250);
  connect(Timer1, &QTimer::timeout, this, Guarded(&TVeltra::Timer1Timer));
  Timer1->start();

  connect(qApp, &QGuiApplication::focusWindowChanged, this, &TVeltra::FocusWindowChanged);
  SetActivationAfterModal([this] { FormActivate(); });

  RestoreLastPorts();
  // Before the lists are filled: a device that comes meanwhile is a change.
  StartPortMonitor();
  FormCreate();
}

TVeltra::~TVeltra() {
  PortMonitor.reset();
  SetActivationAfterModal(nullptr);
  // The ports go first, while the widgets their handlers touch still exist; the
  // window's hooks drop what is served for the other port meanwhile.
  SerialPort1 = SerialPort2 = nullptr;
  Session1.reset();
  Session2.reset();
}

void TVeltra::LoadLampImages() {
  static const char* const kFiles[] = {
      "lamp0_empty",        "lamp1_dark_red",    "lamp2_bright_red",   "lamp3_dark_green",
      "lamp4_bright_green", "lamp5_dark_yellow", "lamp6_bright_yellow"};
  for (const char* file : kFiles)
    LedImageList.push_back(
        RenderSvg(QStringLiteral(":/veltra/lamps/%1.svg").arg(file), QSize(kLampSize, kLampSize)));
}

void TVeltra::SetLampImage(QLabel* Lamp, int Index) {
  const bool valid = Index >= 0 && Index < static_cast<int>(LedImageList.size());
  Lamp->setProperty(kLampProperty, valid ? Index : -1);
  if (valid)
    Lamp->setPixmap(LedImageList[static_cast<std::size_t>(Index)]);
  else
    Lamp->clear();
}

int TVeltra::LampImage(const QLabel* Lamp) {
  const QVariant index = Lamp->property(kLampProperty);
  return index.isValid() ? index.toInt() : -1;
}

// ---------------------------------------------------------------------------------
// Layout

namespace {

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton* Button(const char* name, const QString& caption, bool enabled, QWidget* parent) {
  auto* button = Named(new QPushButton(caption, parent), name);
  button->setEnabled(enabled);
  return button;
}

QComboBox* DropDown(const char* name, const QStringList& items, QWidget* parent) {
  auto* list = Named(new QComboBox(parent), name);
  list->addItems(items);
  list->setCurrentIndex(-1);
  return list;
}

QCheckBox* Check(const char* name, const QString& caption, bool checked, QWidget* parent) {
  auto* box = Named(new QCheckBox(caption, parent), name);
  box->setChecked(checked);
  return box;
}

// Wide enough for `chars` digits in the face the desktop gives it.
QLineEdit* Edit(const char* name, const QString& text, QWidget* parent, int chars) {
  auto* edit = Named(new QLineEdit(text, parent), name);
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * chars + 12);
  return edit;
}

QLabel* Heading(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

const QStringList kBaudItems = {"110",   "300",   "600",    "1200",   "2400",
                                "4800",  "9600",  "14400",  "19200",  "38400",
                                "56000", "57600", "115000", "128000", "256000"};
const QStringList kDataItems = {"4 Bit", "5 Bit", "6 Bit", "7 Bit", "8 Bit"};
const QStringList kStopItems = {"1", "1,5 ", "2 "};
const QStringList kParityItems = {"None", "Odd", "Even", "Mark", "Space"};
const QStringList kFlowItems = {"None", "XOn-XOff", "RTS-CTS", "DSR-DTR"};
const QStringList kReportItems = {"Nothing", "Errors", "Warnings + Errors", "Debuginfo",
                                  "Everything"};

}  // namespace

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

// The per-port lists side by side under "PORT 1" and "PORT 2", one label a row.
QWidget* TVeltra::BuildPortGrid(QWidget* page) {
  auto* box = new QGroupBox(page);
  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(3, 3, 3, 3);
  grid->setSpacing(3);
  grid->addWidget(Heading(QStringLiteral("PORT 1"), page), 0, 1, Qt::AlignHCenter);
  grid->addWidget(Heading(QStringLiteral("PORT 2"), page), 0, 2, Qt::AlignHCenter);
  const char* const labels[] = {"Port:", "Baud:", "Data:", "Stop:", "Parity:", "Flow:"};
  const TPortLists ports[] = {Port1Lists(), Port2Lists()};
  for (int column = 0; column < 2; ++column) {
    const TPortLists& p = ports[column];
    int row = 1;
    for (QComboBox* list : {p.Port, p.Baud, p.Data, p.Stop, p.Parity, p.Flow}) {
      // Wide enough for the longest built-in port name; the arrow takes the rest.
      list->setFixedWidth(list->fontMetrics().horizontalAdvance(QStringLiteral("NULL-MODEM-A")) +
                          28);
      grid->addWidget(list, row++, column + 1);
    }
  }
  for (int row = 0; row < 6; ++row)
    grid->addWidget(new QLabel(QString::fromLatin1(labels[row]), page), row + 1, 0);
  return box;
}

QWidget* TVeltra::BuildSettingsPage() {
  auto* page = new QWidget;
  auto compact = [](QLayout* layout) {
    layout->setContentsMargins(5, 3, 5, 3);
    layout->setSpacing(3);
    return layout;
  };
  CBPort = DropDown("CBPort", {}, page);
  CBBaud = DropDown("CBBaud", kBaudItems, page);
  CBData = DropDown("CBData", kDataItems, page);
  CBStop = DropDown("CBStop", kStopItems, page);
  CBParity = DropDown("CBParity", kParityItems, page);
  CBFlow = DropDown("CBFlow", kFlowItems, page);
  CBPort1 = DropDown("CBPort1", {}, page);
  MakePortList(CBPort);
  MakePortList(CBPort1);
  CBBaud1 = DropDown("CBBaud1", kBaudItems, page);
  CBData1 = DropDown("CBData1", kDataItems, page);
  CBStop1 = DropDown("CBStop1", kStopItems, page);
  CBParity1 = DropDown("CBParity1", kParityItems, page);
  CBFlow1 = DropDown("CBFlow1", kFlowItems, page);

  // TIMING: rows "Sending" and "Receiving", columns "Char  (µs)" and "Extra  (ms)".
  auto* timing = new QGroupBox(QStringLiteral("TIMING"), page);
  auto* timingGrid = new QGridLayout(timing);
  compact(timingGrid);
  CBXTOAuto = Check("CBXTOAuto", QStringLiteral("Use default Timing"), true, page);
  WTOCharDelayEdit = Edit("WTOCharDelayEdit", {}, page, 6);
  WTOExtraDelayEdit = Edit("WTOExtraDelayEdit", {}, page, 6);
  RTOCharDelayEdit = Edit("RTOCharDelayEdit", {}, page, 6);
  RTOExtraDelayEdit = Edit("RTOExtraDelayEdit", {}, page, 6);
  timingGrid->addWidget(new QLabel(QStringLiteral("Char  (µs)"), page), 0, 1);
  timingGrid->addWidget(new QLabel(QStringLiteral("Extra  (ms)"), page), 0, 2);
  timingGrid->addWidget(new QLabel(QStringLiteral("Sending"), page), 1, 0);
  timingGrid->addWidget(WTOCharDelayEdit, 1, 1);
  timingGrid->addWidget(WTOExtraDelayEdit, 1, 2);
  timingGrid->addWidget(new QLabel(QStringLiteral("Receiving"), page), 2, 0);
  timingGrid->addWidget(RTOCharDelayEdit, 2, 1);
  timingGrid->addWidget(RTOExtraDelayEdit, 2, 2);
  timingGrid->addWidget(CBXTOAuto, 3, 0, 1, 3);

  auto* xonxoff = new QGroupBox(QStringLiteral(" XOn - XOff "), page);
  auto* xonGrid = new QGridLayout(xonxoff);
  compact(xonGrid);
  XOnCharEdit = Edit("XOnCharEdit", {}, page, 4);
  XOffCharEdit = Edit("XOffCharEdit", {}, page, 4);
  XOnLimitEdit = Edit("XOnLimitEdit", {}, page, 4);
  XOffLimitEdit = Edit("XOffLimitEdit", {}, page, 4);
  xonGrid->addWidget(new QLabel(QStringLiteral("XOn Char"), page), 0, 0);
  xonGrid->addWidget(XOnCharEdit, 0, 1);
  xonGrid->addWidget(new QLabel(QStringLiteral("XOff Char"), page), 1, 0);
  xonGrid->addWidget(XOffCharEdit, 1, 1);
  xonGrid->addWidget(new QLabel(QStringLiteral("XOn Limit (%)"), page), 2, 0);
  xonGrid->addWidget(XOnLimitEdit, 2, 1);
  xonGrid->addWidget(new QLabel(QStringLiteral("XOff Limit (%)"), page), 3, 0);
  xonGrid->addWidget(XOffLimitEdit, 3, 1);

  auto* parityBox = new QGroupBox(QStringLiteral("Parity Error Replacement"), page);
  auto* parityRow = new QHBoxLayout(parityBox);
  compact(parityRow);
  CBParityErrorReplacement =
      Check("CBParityErrorReplacement", QStringLiteral("Active"), false, page);
  ParityErrorCharEdit = Edit("ParityErrorCharEdit", {}, page, 4);
  parityRow->addWidget(CBParityErrorReplacement);
  parityRow->addStretch();
  parityRow->addWidget(new QLabel(QStringLiteral("Char"), page));
  parityRow->addWidget(ParityErrorCharEdit);

  EventCharEdit = Edit("EventCharEdit", {}, page, 4);
  CBStripNullChars = Check("CBStripNullChars", QStringLiteral("Remove NULL Chars"), false, page);
  CBReport = DropDown("CBReport", kReportItems, page);
  CBRecordErrors = Check("CBRecordErrors", QStringLiteral("Record Errors"), true, page);
  MaxErrorEdit = Edit("MaxErrorEdit", QStringLiteral("999"), page, 4);
  ALF = Check("ALF", QStringLiteral("Add LF"), false, page);
  ACR = Check("ACR", QStringLiteral("Add CR"), true, page);
  CBDTR = Check("CBDTR", QStringLiteral("DTR Control "), true, page);
  CBRTS = Check("CBRTS", QStringLiteral("RTS Control "), true, page);
  CBBreakState = Check("CBBreakState", QStringLiteral("Break Contol"), false, page);
  JvHTButton3 = Button("JvHTButton3", QStringLiteral("Load Settings"), true, page);
  JvHTButton4 = Button("JvHTButton4", QStringLiteral("Save Settings"), false, page);
  CBAutoReopen = Check("CBAutoReopen", QStringLiteral("Reopen a returning device"), true, page);
  CBAutoReopen->setToolTip(QStringLiteral(
      "A device pulled while its port is open is reopened with the same settings when it is "
      "plugged in again"));

  // Errors and reports.
  auto* errors = new QGridLayout;
  compact(errors);
  errors->addWidget(new QLabel(QStringLiteral("Eventchar"), page), 0, 0);
  errors->addWidget(EventCharEdit, 0, 1);
  errors->addWidget(CBStripNullChars, 0, 2, 1, 2);
  errors->addWidget(new QLabel(QStringLiteral("Report"), page), 1, 0);
  errors->addWidget(CBReport, 1, 1, 1, 3);
  errors->addWidget(CBRecordErrors, 2, 0, 1, 2);
  errors->addWidget(new QLabel(QStringLiteral("MaxErrors"), page), 2, 2, Qt::AlignRight);
  errors->addWidget(MaxErrorEdit, 2, 3);
  errors->addWidget(CBAutoReopen, 3, 0, 1, 4);

  // Line endings of sends and the line controls.
  auto* lines = new QGridLayout;
  compact(lines);
  lines->setContentsMargins(0, 3, 0, 3);  // as wide as the boxes above it
  lines->addWidget(ACR, 0, 0);
  lines->addWidget(ALF, 0, 1);
  lines->addWidget(CBDTR, 1, 0);
  lines->addWidget(CBRTS, 1, 1);
  lines->addWidget(CBBreakState, 2, 0, 1, 2);
  lines->addWidget(JvHTButton3, 3, 0);
  lines->addWidget(JvHTButton4, 3, 1);

  // Two port columns with the error settings below them; timing, XOn/XOff and the
  // line controls on the right.
  auto* left = new QGridLayout;
  left->setContentsMargins(0, 0, 0, 0);
  left->setHorizontalSpacing(4);
  left->setVerticalSpacing(3);
  left->addWidget(BuildPortGrid(page), 0, 0, 1, 2);
  left->addWidget(parityBox, 1, 0, 1, 2);
  left->addLayout(errors, 2, 0, 1, 2);
  left->setRowStretch(3, 1);
  auto* right = new QVBoxLayout;
  right->setSpacing(3);
  right->addWidget(timing);
  right->addWidget(xonxoff);
  right->addLayout(lines);
  right->addStretch();
  auto* pageLayout = new QHBoxLayout(page);
  pageLayout->setContentsMargins(3, 3, 3, 3);
  pageLayout->setSpacing(4);
  pageLayout->addLayout(left);
  pageLayout->addLayout(right);
  // A wider window widens the pane, not the gaps between labels and their edits.
  pageLayout->addStretch(1);
  return page;
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

void TVeltra::WireComponents() {
  WireSessions();
  // While the destructor frees one port, events still served for the other are dropped:
  // their handlers reach both ports.
  auto notify = [this](void (TVeltra::*handler)(TObject*)) {
    return [this, handler](TObject* sender) {
      if (SerialPort1 && SerialPort2) (this->*handler)(sender);
    };
  };
  // The events the sessions leave to the display; three handlers serve both ports.
  for (TSerialPort* port : {SerialPort1, SerialPort2}) {
    port->OnRIEvent = notify(&TVeltra::SerialPort1RIEvent);
    port->OnRxCharEvent = notify(&TVeltra::SerialPort1RxCharEvent);
    port->OnDeviceRemoved = [this](TObject* sender) {
      if (SerialPort1 && SerialPort2) PortDeviceRemoved(*static_cast<TSerialPort*>(sender));
    };
    port->OnDeviceReturned = [this](TObject* sender) {
      if (SerialPort1 && SerialPort2) PortDeviceReturned(*static_cast<TSerialPort*>(sender));
    };
  }
}

// Spy mode relays each port's blocks to the other; the hooks keep the lamps, the
// queue bars, the received-byte counter and the command page up to date.
void TVeltra::WireSessions() {
  auto alive = [this] { return SerialPort1 != nullptr && SerialPort2 != nullptr; };
  Session1->ForwardTo(Session2.get());
  Session2->ForwardTo(Session1.get());
  Port1Decoding.Attach(*Session1, *PaneSink);
  Port2Decoding.Attach(*Session2, *PaneSink);
  for (session::TPortSession* s : {Session1.get(), Session2.get()}) {
    s->ForwardWhen = [this] { return SpyMode; };
    s->AddBlockObserver([this, alive](session::TPortSession&, std::string_view block, bool) {
      if (alive()) CountReceived(block);
    });
    s->OnCommEvent = [this, alive] {
      if (alive()) RefreshLamps();
    };
    s->OnCommStat = [this, alive, s](const session::THoldReport& hold) {
      if (alive()) ShowCommStat(s->Port(), hold);
    };
    s->OnDataQueued = [this, alive] {
      if (alive()) SetTxDLampLit();
    };
    s->OnTxQueueEmpty = [this, alive] {
      if (alive()) SerialPort1TxQueueEmptyEvent(nullptr);
    };
  }
  Session1->OnWriteDone = [this, alive] {
    if (alive()) Port1WriteDone();
  };
  Session2->OnWriteDone = [this, alive] {
    if (alive()) BSend->setEnabled(true);
  };
  WireAutomation();
  ApplyLineEnds();
  for (QCheckBox* box : {ACR, ALF})
    connect(box, &QCheckBox::toggled, this, [this] { ApplyLineEnds(); });
}

std::function<void()> TVeltra::Guarded(void (TVeltra::*Handler)()) {
  return [this, Handler] { RunGuarded(this, [&] { (this->*Handler)(); }); };
}

void TVeltra::WireControls() {
  const std::pair<QPushButton*, void (TVeltra::*)()> clicks[] = {
      {BStart, &TVeltra::BStartClick},
      {BOpen, &TVeltra::BOpenClick},
      {Spy, &TVeltra::SpyClick},
      {BInit, &TVeltra::BInitClick},
      {BEnd, &TVeltra::BEndClick},
      {JvHTButton3, &TVeltra::JvHTButton3Click},
      {JvHTButton4, &TVeltra::JvHTButton4Click},
      {Button1, &TVeltra::Button1Click},
      {Button2, &TVeltra::Button2Click},
      {JvHTButton2, &TVeltra::JvHTButton2Click},
      {JvHTButton5, &TVeltra::JvHTButton5Click},
      {BSend, &TVeltra::BSendClick},
      {BAscii, &TVeltra::BAsciiClick},
      {BACK, &TVeltra::BACKClick},
      {BNAK, &TVeltra::BNAKClick},
      {BESC, &TVeltra::BESCClick},
      {BENQ, &TVeltra::BENQClick},
      {BETX, &TVeltra::BETXClick},
      {BDLE, &TVeltra::BDLEClick},
      {BSTX, &TVeltra::BSTXClick},
      {BEOT, &TVeltra::BEOTClick},
      {Button5, &TVeltra::Button5Click},
      {Button6, &TVeltra::Button6Click},
      {Button7, &TVeltra::Button7Click},
      {MT, &TVeltra::MTClick},
      {Button3, &TVeltra::Button3Click},
      {Button4, &TVeltra::Button4Click},
      {JvHTButton1, &TVeltra::JvHTButton1Click},
  };
  for (const auto& [button, handler] : clicks)
    connect(button, &QPushButton::clicked, this, Guarded(handler));
  // "Start" ignores the timing edits while the port works out its own timing.
  auto timingFollowsBox = [this](bool automatic) {
    for (QLineEdit* edit :
         {WTOCharDelayEdit, WTOExtraDelayEdit, RTOCharDelayEdit, RTOExtraDelayEdit})
      edit->setEnabled(!automatic);
  };
  connect(CBXTOAuto, &QCheckBox::toggled, this, timingFollowsBox);
  timingFollowsBox(CBXTOAuto->isChecked());
  // A user's pick in a port list refills the panel; so does leaving it (eventFilter).
  connect(CBPort, &QComboBox::activated, this, Guarded(&TVeltra::CBPortChange));
  connect(CBPort1, &QComboBox::activated, this, Guarded(&TVeltra::CBPort1Exit));
  connect(CBAutoReopen, &QCheckBox::toggled, this, [this](bool on) {
    SerialPort1->SetAutoReopen(on);
    SerialPort2->SetAutoReopen(on);
  });
  for (QWidget* watched : {static_cast<QWidget*>(CBPort), static_cast<QWidget*>(CBPort1),
                           static_cast<QWidget*>(EventCharEdit)})
    watched->installEventFilter(this);
}

bool TVeltra::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut) {
    // Leaving a control for another one of this window; not a switch of windows or a
    // popup (the drop-down list, the "Invalid Input" box itself).
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    const bool left = reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
    if (left && watched == CBPort) Guarded (&TVeltra::CBPortChange)();
    if (left && watched == CBPort1) Guarded (&TVeltra::CBPort1Exit)();
    if (left && watched == EventCharEdit) Guarded (&TVeltra::EventCharEditExit)();
  }
  return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------
// Creation, activation, close

void TVeltra::FormCreate() {
  FillPortList(CBPort, *SerialPort1, FStoredPort1);
  FillPortLists(Port1Lists(), *SerialPort1);
  FillSharedControls(*SerialPort1);
  FillPortList(CBPort1, *SerialPort2, FStoredPort2);
  FillPortLists(Port2Lists(), *SerialPort2);
}

// Only the first activation resets the counter and shows "Settings". Later ones follow
// the application's own message boxes: spy mode, the count and the page shown stay as
// they were, so a relay does not stop unseen and the operator loses nothing.
void TVeltra::FormActivate() {
  FillPrinterList();
  SaveTo.InitialDir = StartFolderFor(SaveTo.FileName);
  if (FActivatedBefore) return;
  FActivatedBefore = true;
  ReceivedByteCount = 0;
  PageControl1->setCurrentIndex(0);
}

bool TVeltra::FormCloseQuery() {
  SerialPort1->SetActive(false);
  Mess->setText(QStringLiteral("Port closed"));
  return true;
}

void TVeltra::closeEvent(QCloseEvent* event) {
  if (FormCloseQuery())
    event->accept();
  else
    event->ignore();
}

void TVeltra::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // The first showing counts as the first activation even where no window manager
  // hands this window the focus.
  if (!FFirstShowDone) {
    FFirstShowDone = true;
    FormActivate();
  }
}

void TVeltra::FocusWindowChanged(QWindow* Now) {
  if (!Now) return;  // another program took the focus: not an activation of ours
  if (Now == windowHandle()) {
    if (FOtherFormWasActive) {
      FOtherFormWasActive = false;
      FormActivate();
    }
    return;
  }
  // Drop-down lists, menus and tool tips are not forms of their own.
  const Qt::WindowType type = Now->type();
  if (type == Qt::Popup || type == Qt::ToolTip || type == Qt::Tool) return;
  FOtherFormWasActive = true;
  connect(Now, &QWindow::visibleChanged, this, &TVeltra::OtherFormVisibleChanged,
          Qt::UniqueConnection);
}

// Not every platform hands the focus back when a box closes; where nothing has it
// once the box is gone and no other modal window is up, take it back ourselves.
void TVeltra::OtherFormVisibleChanged(bool Visible) {
  if (Visible) return;
  QTimer::singleShot(0, this, [this] {
    if (isVisible() && !QGuiApplication::focusWindow() && !QApplication::activeModalWidget())
      activateWindow();
  });
}

}  // namespace veltra::app
