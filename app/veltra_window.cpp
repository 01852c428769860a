// Construction of the main window and its wiring, the lamps' pictures, and the
// window's creation, activation and close events.
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
#include "app/widgets.h"
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

constexpr const char* kLampProperty = "veltraLampImage";

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
