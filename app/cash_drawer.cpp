// The printer list and the cash-drawer kick.
#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>

#include "app/veltra.h"

#ifdef VELTRA_HAVE_PRINTER
#include "platform/spooler.h"
#include "printer/raw_printer.h"
#endif

namespace veltra::app {

#ifdef VELTRA_HAVE_PRINTER

namespace {

// The printer counts the pulse in steps of 2 ms; an odd time lies halfway and goes
// to the even neighbour (25 ms gives 12, 27 ms gives 14).
Integer HalfToEven(Integer Milliseconds) {
  const Integer low = Milliseconds >= 0 ? Milliseconds / 2 : -((1 - Milliseconds) / 2);
  if (Milliseconds % 2 == 0) return low;
  return low % 2 == 0 ? low : low + 1;
}

char LowByte(Integer Value) {
  return static_cast<char>(static_cast<Byte>(Value & 0xFF));
}

}  // namespace

void TVeltra::FillPrinterList() {
  PrinterC->clear();
  for (const std::string& name : win::EnumPrinterNames()) {
    PrinterC->addItem(QString::fromStdString(name));
  }
  if (PrinterC->count() > 0) PrinterC->setCurrentIndex(0);
}

// One spooler document of two writes: select the printer and initialise it, then
// ESC p m t1 t2. A document that fails half-way is abandoned, so nothing partial
// reaches the printer and the next click starts afresh on the chosen printer.
void TVeltra::JvHTButton1Click() {
  const char On = LowByte(HalfToEven(OnTime->value()));
  const char Off = LowByte(HalfToEven(OffTime->value()));
  const int index = PrinterC->currentIndex();
  const QString printerName = index >= 0 ? PrinterC->itemText(index) : QString();
  if (printerName.isEmpty()) {
    ShowMessage(this, QStringLiteral("Please define first the Printer"));
    return;
  }
  DDruck->SetPrinterName(printerName.toStdString());
  const char drawer = RBDrawer2->isChecked() ? 1 : 0;
  // A document left over from a failed click would still go to the old printer.
  const bool fresh = DDruck->PrintState() == 0 || DDruck->AbortDocument();
  const bool sent =
      fresh && DDruck->OpenDocument() && DDruck->WriteString(std::string{27, 61, 1, 27, 64}) &&
      DDruck->WriteString(std::string{27, 112, drawer, On, Off}) && DDruck->CloseDocument();
  if (sent) {
    Mess->setText(QStringLiteral("Cash-Drawer-Signal sent"));
  } else {
    DDruck->AbortDocument();
    Mess->setText(QStringLiteral("Cash-Drawer-Signal not sent"));
  }
}

#else

// Built without the printer layer: no printers, so the button asks for one.
void TVeltra::FillPrinterList() {
  PrinterC->clear();
}
void TVeltra::JvHTButton1Click() {
  ShowMessage(this, QStringLiteral("Please define first the Printer"));
}

#endif

}  // namespace veltra::app
