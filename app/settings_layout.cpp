// The "Settings" page's widgets and where they sit: the two port columns, timing,
// XOn/XOff, parity replacement, reports and the line controls.
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/veltra.h"
#include "app/widgets.h"

namespace veltra::app {

namespace {

const QStringList kBaudItems = {"110",   "300",   "600",    "1200",   "2400",
                                "4800",  "9600",  "14400",  "19200",  "38400",
                                "56000", "57600", "115000", "128000", "256000"};
const QStringList kDataItems = {"4 Bit", "5 Bit", "6 Bit", "7 Bit", "8 Bit"};
const QStringList kStopItems = {"1", "1,5 ", "2 "};
const QStringList kParityItems = {"None", "Odd", "Even", "Mark", "Space"};
const QStringList kFlowItems = {"None", "XOn-XOff", "RTS-CTS", "DSR-DTR"};
const QStringList kReportItems = {"Nothing", "Errors", "Warnings + Errors", "Debuginfo",
                                  "Everything"};

template <typename Layout>
Layout* Compact(Layout* layout) {
  layout->setContentsMargins(5, 3, 5, 3);
  layout->setSpacing(3);
  return layout;
}

}  // namespace

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
  // Built in this order, the tab key walks them as it always has.
  QWidget* timing = BuildTimingBox(page);
  QWidget* xonxoff = BuildXOnXOffBox(page);
  QWidget* parity = BuildParityBox(page);
  QLayout* errors = BuildErrorSettings(page);
  QLayout* lines = BuildLineControls(page);

  // Two port columns with the error settings below them; timing, XOn/XOff and the
  // line controls on the right.
  auto* left = new QGridLayout;
  left->setContentsMargins(0, 0, 0, 0);
  left->setHorizontalSpacing(4);
  left->setVerticalSpacing(3);
  left->addWidget(BuildPortGrid(page), 0, 0, 1, 2);
  left->addWidget(parity, 1, 0, 1, 2);
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

// TIMING: rows "Sending" and "Receiving", columns "Char  (µs)" and "Extra  (ms)".
QWidget* TVeltra::BuildTimingBox(QWidget* page) {
  auto* timing = new QGroupBox(QStringLiteral("TIMING"), page);
  auto* timingGrid = new QGridLayout(timing);
  Compact(timingGrid);
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
  return timing;
}

QWidget* TVeltra::BuildXOnXOffBox(QWidget* page) {
  auto* xonxoff = new QGroupBox(QStringLiteral(" XOn - XOff "), page);
  auto* xonGrid = new QGridLayout(xonxoff);
  Compact(xonGrid);
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
  return xonxoff;
}

QWidget* TVeltra::BuildParityBox(QWidget* page) {
  auto* parityBox = new QGroupBox(QStringLiteral("Parity Error Replacement"), page);
  auto* parityRow = new QHBoxLayout(parityBox);
  Compact(parityRow);
  CBParityErrorReplacement =
      Check("CBParityErrorReplacement", QStringLiteral("Active"), false, page);
  ParityErrorCharEdit = Edit("ParityErrorCharEdit", {}, page, 4);
  parityRow->addWidget(CBParityErrorReplacement);
  parityRow->addStretch();
  parityRow->addWidget(new QLabel(QStringLiteral("Char"), page));
  parityRow->addWidget(ParityErrorCharEdit);
  return parityBox;
}

// Event character, NULL stripping, reports and reopening.
QLayout* TVeltra::BuildErrorSettings(QWidget* page) {
  EventCharEdit = Edit("EventCharEdit", {}, page, 4);
  CBStripNullChars = Check("CBStripNullChars", QStringLiteral("Remove NULL Chars"), false, page);
  CBReport = DropDown("CBReport", kReportItems, page);
  CBRecordErrors = Check("CBRecordErrors", QStringLiteral("Record Errors"), true, page);
  MaxErrorEdit = Edit("MaxErrorEdit", QStringLiteral("999"), page, 4);
  CBAutoReopen = Check("CBAutoReopen", QStringLiteral("Reopen a returning device"), true, page);
  CBAutoReopen->setToolTip(QStringLiteral(
      "A device pulled while its port is open is reopened with the same settings when it is "
      "plugged in again"));

  auto* errors = new QGridLayout;
  Compact(errors);
  errors->addWidget(new QLabel(QStringLiteral("Eventchar"), page), 0, 0);
  errors->addWidget(EventCharEdit, 0, 1);
  errors->addWidget(CBStripNullChars, 0, 2, 1, 2);
  errors->addWidget(new QLabel(QStringLiteral("Report"), page), 1, 0);
  errors->addWidget(CBReport, 1, 1, 1, 3);
  errors->addWidget(CBRecordErrors, 2, 0, 1, 2);
  errors->addWidget(new QLabel(QStringLiteral("MaxErrors"), page), 2, 2, Qt::AlignRight);
  errors->addWidget(MaxErrorEdit, 2, 3);
  errors->addWidget(CBAutoReopen, 3, 0, 1, 4);
  return errors;
}

// Line endings of sends, the line controls and Load/Save Settings.
QLayout* TVeltra::BuildLineControls(QWidget* page) {
  ALF = Check("ALF", QStringLiteral("Add LF"), false, page);
  ACR = Check("ACR", QStringLiteral("Add CR"), true, page);
  CBDTR = Check("CBDTR", QStringLiteral("DTR Control "), true, page);
  CBRTS = Check("CBRTS", QStringLiteral("RTS Control "), true, page);
  CBBreakState = Check("CBBreakState", QStringLiteral("Break Contol"), false, page);
  JvHTButton3 = Button("JvHTButton3", QStringLiteral("Load Settings"), true, page);
  JvHTButton4 = Button("JvHTButton4", QStringLiteral("Save Settings"), false, page);
  auto* lines = new QGridLayout;
  Compact(lines);
  lines->setContentsMargins(0, 3, 0, 3);  // as wide as the boxes above it
  lines->addWidget(ACR, 0, 0);
  lines->addWidget(ALF, 0, 1);
  lines->addWidget(CBDTR, 1, 0);
  lines->addWidget(CBRTS, 1, 1);
  lines->addWidget(CBBreakState, 2, 0, 1, 2);
  lines->addWidget(JvHTButton3, 3, 0);
  lines->addWidget(JvHTButton4, 3, 1);
  return lines;
}

}  // namespace veltra::app
