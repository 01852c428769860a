// TVeltra: the main window. It owns the two port sessions (each with its serial
// port component), the raw printer, the timer, the log panes, the lamps and every
// control of the pages. The sessions log, forward and account for writes; the window
// renders what they log and shows the lines, lamps and counters.
// Its handlers are split over several files by concern:
//   veltra_window.cpp   construction, layout, FormCreate, FormActivate, FormCloseQuery
//   settings_panel.cpp  the "Settings" page: fills, applying it, Load/Save Settings
//   port_lists.cpp      the port lists: devices and what they are, typed names, hot-plug
//   port_control.cpp    Start, Open Port 1, Spy-Mode, Close Ports, End
//   traffic_log.cpp     the sessions' log into the panes, the panes and their buttons
//   status_display.cpp  lamps, hold states, queue bars, RxD afterglow
//   command_sender.cpp  SendToPort1 and the "Commands" page
//   ack_nak.cpp         "Send ACK" and "Send NAK": the DLE and its partner
//   device_tests.cpp    the scanner, scale and cash-register tests
//   cash_drawer.cpp     the printer list and "Send Signal"
//   traffic_record.cpp  "Record": the traffic pane's entries written to a file
//   sequences_page.cpp  the "Sequences" page on the ports: sequences sent, triggers armed
#pragma once

#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QPixmap>

#include "app/dialogs.h"
#include "app/logic/line_history.h"
#include "app/logic/log_record.h"
#include "app/pane_log.h"
#include "automation/port_automation.h"
#include "engine/owner_calls.h"
#include "engine/serial_port.h"
#include "session/dle_pair.h"
#include "session/decoded_lines.h"
#include "session/hold_states.h"
#include "session/log_lines.h"
#include "session/port_session.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLayout;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class QWindow;

namespace veltra::platform {
class SerialPortMonitor;
}

namespace veltra::printer {
class TRAWPrinter;
}

namespace veltra::app {

using engine::Byte;
using engine::Cardinal;
using engine::Integer;
using engine::TObject;
using engine::TSerialPort;
using engine::Word;

// Frees the printer where its type is complete.
struct TRAWPrinterDeleter {
  void operator()(printer::TRAWPrinter* p) const;
};

class TVeltra : public QWidget {
  Q_OBJECT

 public:
  explicit TVeltra(QWidget* parent = nullptr);
  ~TVeltra() override;

  // --- components -----------------------------------------------------------------
  // Runs the workers' events on this thread; declared before the ports, which use it.
  engine::TOwnerCallQueue OwnerCalls;
  // The panes as the sessions' log; declared before the sessions, which write to it.
  class TPaneSink;
  std::unique_ptr<TPaneSink> PaneSink;
  // Port 1 and Port 2; SerialPort1/2 are their ports.
  std::unique_ptr<session::TPortSession> Session1;
  std::unique_ptr<session::TPortSession> Session2;
  TSerialPort* SerialPort1 = nullptr;
  TSerialPort* SerialPort2 = nullptr;
  std::unique_ptr<printer::TRAWPrinter, TRAWPrinterDeleter> DDruck;
  QTimer* Timer1 = nullptr;
  TSaveDialog SaveTo;
  std::vector<QPixmap> LedImageList;  // the seven 16 x 16 lamp images

  // --- window-wide state ----------------------------------------------------------
  bool SpyMode = false;
  // 64 bits: a long spy session at a high rate passes 2 GiB.
  std::int64_t ReceivedByteCount = 0;
  bool FRxActivity = false;
  bool FRxAfterglow = false;
  std::string PendingText;

  // --- page control and its pages ---------------------------------------------------
  QTabWidget* PageControl1 = nullptr;

  // "Settings": per-port lists (Port 1, then Port 2)
  QComboBox *CBPort = nullptr, *CBBaud = nullptr, *CBData = nullptr, *CBStop = nullptr,
            *CBParity = nullptr, *CBFlow = nullptr;
  QComboBox *CBPort1 = nullptr, *CBBaud1 = nullptr, *CBData1 = nullptr, *CBStop1 = nullptr,
            *CBParity1 = nullptr, *CBFlow1 = nullptr;
  // "Settings": shared controls
  QCheckBox* CBXTOAuto = nullptr;
  QLineEdit *WTOCharDelayEdit = nullptr, *WTOExtraDelayEdit = nullptr, *RTOCharDelayEdit = nullptr,
            *RTOExtraDelayEdit = nullptr;
  QLineEdit *XOnCharEdit = nullptr, *XOffCharEdit = nullptr, *XOnLimitEdit = nullptr,
            *XOffLimitEdit = nullptr;
  QCheckBox* CBParityErrorReplacement = nullptr;
  QLineEdit *ParityErrorCharEdit = nullptr, *EventCharEdit = nullptr;
  QCheckBox* CBStripNullChars = nullptr;
  QComboBox* CBReport = nullptr;
  // "Settings": controls that "Start" does not apply
  QCheckBox* CBRecordErrors = nullptr;
  QLineEdit* MaxErrorEdit = nullptr;
  QCheckBox *ALF = nullptr, *ACR = nullptr;
  QCheckBox *CBDTR = nullptr, *CBRTS = nullptr, *CBBreakState = nullptr;
  QPushButton *JvHTButton3 = nullptr, *JvHTButton4 = nullptr;  // Load / Save Settings
  QCheckBox* CBAutoReopen = nullptr;  // a pulled device is reopened when it is back

  // "PSC-Magellan", "MT-Scale", "Cash-Drawer"
  QPushButton *Button5 = nullptr, *Button6 = nullptr, *Button7 = nullptr;
  QPushButton *MT = nullptr, *Button4 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QPushButton* Button3 = nullptr;
  QComboBox* PrinterC = nullptr;
  QRadioButton *RBDrawer1 = nullptr, *RBDrawer2 = nullptr;
  QSpinBox *OnTime = nullptr, *OffTime = nullptr;
  QPushButton* JvHTButton1 = nullptr;

  // "Commands"
  QPushButton *BSend = nullptr, *BAscii = nullptr, *BACK = nullptr, *BNAK = nullptr,
              *BESC = nullptr, *BENQ = nullptr, *BETX = nullptr, *BDLE = nullptr, *BSTX = nullptr,
              *BEOT = nullptr;

  // --- connector picture and lamps ------------------------------------------------
  QLabel* PortImage = nullptr;
  QLabel *DCDImage = nullptr, *RxDImage = nullptr, *TxDImage = nullptr, *DTRImage = nullptr,
         *DSRImage = nullptr, *RTSImage = nullptr, *CTSImage = nullptr, *RIImage = nullptr;
  QLabel *RLSHoldImage = nullptr, *XOffHoldImage = nullptr, *XOnSendImage = nullptr,
         *DSRHoldImage = nullptr, *CTSHoldImage = nullptr;

  // --- control buttons --------------------------------------------------------------
  QPushButton *BOpen = nullptr, *BInit = nullptr, *Spy = nullptr, *BStart = nullptr,
              *BEnd = nullptr;
  QLabel* Image1 = nullptr;

  // --- panes and bottom strip -------------------------------------------------------
  QPlainTextEdit* Memo1 = nullptr;
  QPlainTextEdit* ErrorMemo = nullptr;
  QProgressBar *ProgressTxDQueue = nullptr, *ProgressRxDQueue = nullptr;
  QLabel* Bytes = nullptr;
  QPushButton *Button1 = nullptr, *Button2 = nullptr, *JvHTButton2 = nullptr;
  QLabel* Mess = nullptr;
  QPushButton* JvHTButton5 = nullptr;
  QPushButton* RecordButton = nullptr;

  // Decoding, search and filters of the traffic pane (traffic_tools.cpp).
  QCheckBox* CBDecode = nullptr;                             // "Decode"
  QComboBox *CBDecode1 = nullptr, *CBDecode2 = nullptr;      // the device on each port
  QCheckBox* CBBlockTime = nullptr;                          // time since the previous block
  QWidget* FindBar = nullptr;                                // Ctrl+F
  QLineEdit* FindEdit = nullptr;
  QComboBox *FindPort = nullptr, *FindDirection = nullptr;
  QPushButton *FindPrevious = nullptr, *FindNext = nullptr;
  QLabel* FindCount = nullptr;
  // Each attached to its session (WireSessions).
  session::TPortDecoding Port1Decoding, Port2Decoding;
  void DecodeChanged();
  void ShowFindBar();
  // Counts the matches in the pane and its history and selects the next (or
  // previous) one in the pane, reading the history back when it is there.
  void FindStep(bool Forward);
  void FindChanged();

  // --- lamp pictures ----------------------------------------------------------------
  // Copies image Index of LedImageList into the lamp (-1: no picture); the lamp is
  // repainted by RepaintLamps.
  void SetLampImage(QLabel* Lamp, int Index);
  // The index last given to SetLampImage, -1 while the lamp shows no picture.
  static int LampImage(const QLabel* Lamp);

  // --- window (veltra_window.cpp) ----------------------------------------------------
  void FormCreate();
  void FormActivate();
  // Always agrees to the close.
  bool FormCloseQuery();

  // --- settings panel (settings_panel.cpp) ------------------------------------------
  void CBPortChange();
  void CBPort1Exit();
  void EventCharEditExit();
  void JvHTButton3Click();
  void JvHTButton4Click();

  // --- port control (port_control.cpp) ----------------------------------------------
  void BStartClick();
  void BOpenClick();
  void SpyClick();
  void BInitClick();
  void BEndClick();
  // The buttons that act on Port 1, switched together.
  void SetCommandGroupEnabled(bool Enabled);
  // A port's device was pulled (the port is closed) or came back (reopened).
  void PortDeviceRemoved(TSerialPort& Port);
  void PortDeviceReturned(TSerialPort& Port);

  // --- port lists (port_lists.cpp) ---------------------------------------------------
  // Devices came or went; the lists follow without touching a port or a choice.
  void RefreshPortLists();

  // --- traffic log and port events (traffic_log.cpp) ---------------------------------
  // The ports' events go to their sessions; these raise one as the port would.
  void SerialPort1RxClusterEvent(TObject* Sender);
  void SerialPort2RxClusterEvent(TObject* Sender);
  void SerialPort1RxEventCharEvent(TObject* Sender);
  void SerialPort2RxEventCharEvent(TObject* Sender);
  void SerialPort1CommEvent(TObject* Sender);
  void SerialPort2CommEvent(TObject* Sender);
  void SerialPort1RingEvent(TObject* Sender);
  void SerialPort2RingEvent(TObject* Sender);
  // A report (logged while "Record Errors" is ticked; a failed write, 903, ends the
  // write in flight).
  void SerialPort1ProcessError(TObject* Sender, Cardinal Place, Cardinal Code,
                               const std::string& Msg, Byte Noise);
  void SerialPort2ProcessError(TObject* Sender, Cardinal Place, Cardinal Code,
                               const std::string& Msg, Byte Noise);
  void AppendHexDump(const std::string& Data);
  void JvHTButton2Click();  // "Log"
  void Button1Click();      // "Reset Counter"
  void Button2Click();      // "Clear Display"
  void JvHTButton5Click();  // "Save Logs"

  // --- line status display (status_display.cpp) --------------------------------------
  void SerialPort1CommStat(TObject* Sender);
  void SerialPort2CommStat(TObject* Sender);
  void ShowCommStat(const TSerialPort& Port, const session::THoldReport& Hold);
  void SerialPort1RIEvent(TObject* Sender);
  void SerialPort1RxCharEvent(TObject* Sender);
  void SerialPort1TxQueueEmptyEvent(TObject* Sender);
  void Timer1Timer();
  void RefreshLamps();
  void ResetLamps();
  void RepaintLamps();

  // --- command sender (command_sender.cpp) -------------------------------------------
  void SendToPort1();
  void BSendClick();
  void BAsciiClick();
  void BACKClick();
  void BNAKClick();
  void BEOTClick();
  void BSTXClick();
  void BDLEClick();
  void BENQClick();
  void BETXClick();
  void BESCClick();
  void SerialPort1WriteDone(TObject* Sender);
  void SerialPort2WriteDone(TObject* Sender);
  // What the window does after a finished write on Port 1 (session hook).
  void Port1WriteDone();
  // "Add CR", "Add LF": the line end of both sessions.
  void ApplyLineEnds();

  // --- device tests (device_tests.cpp) ----------------------------------------------
  void Button5Click();
  void Button6Click();
  void Button7Click();
  void MTClick();
  void Button3Click();
  void Button4Click();

  // --- cash drawer (cash_drawer.cpp) ------------------------------------------------
  void FillPrinterList();
  void JvHTButton1Click();

  // --- record to file (traffic_record.cpp) -------------------------------------------
  void RecordButtonClick();  // "Record" / "Stop Record"
  void StopRecord();
  // The record could not be written: says so in the error pane and stops.
  void RecordStopped(const std::string& Reason);
  TSaveDialog RecordTo;
  logic::TLogRecord TrafficRecord;

  // --- panes, forwarding and lamps (traffic_log.cpp, status_display.cpp) -----------
  // Entries reach the panes in batches; FlushPanes writes what waits (tests, reads).
  // The traffic pane keeps its latest lines and the older ones in its history; the
  // error pane keeps MaxErrors lines.
  logic::TLineHistory Memo1History;
  TPaneLog Memo1Log{Memo1, [] { return TPaneLog::kDefaultMaxLines; }, &Memo1History};
  TPaneLog ErrorMemoLog{ErrorMemo, [this] { return ErrorPaneMaxLines(); }};
  std::size_t ErrorPaneMaxLines() const;
  void FlushPanes();
  // --- sequences and receive triggers (sequences_page.cpp) -------------------------
  class TSequencePanel* SequencePanel = nullptr;
  automation::TPortAutomation Automation1{1}, Automation2{2};
  QTimer* AutomationTimer = nullptr;
  // A sequence's writes for Port 1 or 2, after what the port has queued already.
  void PlaySequence(int Port, const std::vector<automation::TSendStep>& Steps);
  void ArmTriggers();
  // The triggers look through every received block, right under its dump lines.
  void WireAutomation();
  void AutomationReceived(int Port, std::string_view Block);
  void AutomationWriteDone(int Port, std::uint64_t Write);
  // Delayed answers and waiting parts whose time has come go out; the timer is set
  // for the next.
  void ServeAutomation();
  QLabel* Lamp(session::TLamp Which) const;
  // TxD lamp lit: data was handed to a port.
  void SetTxDLampLit();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Layout (window_layout.cpp; the Settings page in settings_layout.cpp).
  void BuildWindow();
  QWidget* BuildSettingsPage();
  QWidget* BuildTimingBox(QWidget* page);
  QWidget* BuildXOnXOffBox(QWidget* page);
  QWidget* BuildParityBox(QWidget* page);
  QLayout* BuildErrorSettings(QWidget* page);
  QLayout* BuildLineControls(QWidget* page);
  QWidget* BuildPortGrid(QWidget* page);
  QWidget* BuildMagellanPage();
  QWidget* BuildScalePage();
  QWidget* BuildCashDrawerPage();
  QWidget* BuildCommandsPage();
  QWidget* BuildSequencesPage();
  void ShowTriggerEvents(int Port, const std::vector<automation::TTriggerEvent>& Events);
  // The automation's write in flight per port (0: none); its completion names it, so
  // one from before the port was closed is told apart.
  std::uint64_t AutomationWriting[2] = {0, 0};
  std::uint64_t AutomationWrites = 0;
  QWidget* BuildStatusColumn();
  QWidget* BuildBottomStrip();
  QWidget* BuildTrafficTools();
  QWidget* BuildFindBar(QWidget* Parent);
  // A block's header; with "Time since previous block" the seconds since the last one.
  std::string BlockHeader(std::string_view Prefix);
  // The pane's lines with matches, and the match selected.
  std::vector<int> FMatchLines;
  std::optional<std::chrono::steady_clock::time_point> FLastBlock;
  QPushButton* BuildRecordControl(QWidget* Strip);
  void LoadLampImages();
  void WireComponents();
  void WireSessions();
  void WireControls();
  // The handler wrapped so that an error it raises goes to the error box.
  std::function<void()> Guarded(void (TVeltra::*Handler)());
  void FocusWindowChanged(QWindow* Now);
  void OtherFormVisibleChanged(bool Visible);

  // Settings panel (settings_panel.cpp).
  struct TPortLists {
    QComboBox *Port, *Baud, *Data, *Stop, *Parity, *Flow;
  };
  TPortLists Port1Lists() const;
  TPortLists Port2Lists() const;
  void MakePortList(QComboBox* List);
  void RestoreLastPorts();
  void StartPortMonitor();
  void FillPortList(QComboBox* List, const TSerialPort& Port, const std::string& Stored);
  void SelectPortEntry(QComboBox* List, const std::string& Wanted, const std::string& Stored);
  std::string PortNameToApply(const QComboBox* List) const;
  void FillPortLists(const TPortLists& Lists, const TSerialPort& Port);
  void FillSharedControls(const TSerialPort& Port);
  // Applies the panel to one port; false when its port list has no selection (then
  // nothing is applied). A name that names no usable port is applied all the same,
  // with the reason in *Problem. Conversion errors propagate.
  bool ApplyPanel(const TPortLists& Lists, TSerialPort& Port, std::string* Problem);
  void ApplySharedControls(TSerialPort& Port);

  // Traffic log, status display, command sender, device tests.
  void CountReceived(std::string_view Block);
  void SetLamp(session::TLamp Which, int Index);
  void SetLamps(const session::TLampImages& Images);
  void SendByte(char Code, const char* Message);
  void SendCommand(const std::string& Command, const char* Message);
  // "Send ACK"/"Send NAK" (ack_nak.cpp).
  void SendAfterDle(char Second, const char* Name);
  void SendDlePairByte();
  void DlePairWriteEnded(Cardinal Written);

  // The ports' names in the settings file, read at start and by Load/Save Settings:
  // such a name is shown as missing when its device is not present.
  std::string FStoredPort1, FStoredPort2;
  std::unique_ptr<platform::SerialPortMonitor> PortMonitor;
  // The control buttons as they were when a device vanished, for its return.
  std::vector<bool> FButtonsBeforeRemoval;
  bool FFirstShowDone = false;
  bool FActivatedBefore = false;
  bool FOtherFormWasActive = false;
  // "Send ACK"/"Send NAK" under way, and whether one of its writes is in flight.
  std::optional<session::TDlePair> FDlePair;
  bool FDlePairWaiting = false;
};

// The two panes as the sessions' log: traffic to the traffic pane, events and
// reports to the error pane (reports only while "Record Errors" is ticked).
class TVeltra::TPaneSink : public session::TLogSink {
 public:
  explicit TPaneSink(TVeltra& Window) : W(Window) {}
  void Traffic(std::string_view Entry) override;
  void Dump(std::string_view Block) override;
  void Event(std::string_view Entry) override;
  void Report(std::string_view Entry) override;
  // A received block's header carries the time since the previous block, when asked.
  std::string Header(std::string_view Prefix) override;

 private:
  TVeltra& W;
};

}  // namespace veltra::app
