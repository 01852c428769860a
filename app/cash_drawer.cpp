// The printer list and the cash-drawer kick.
#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>

#include "app/veltra.h"
#include "session/device_commands.h"

#ifdef VELTRA_HAVE_PRINTER
#include "printer/raw_printer.h"
#include "printer/spooler/spooler.h"
#endif

namespace veltra::app {

#ifdef VELTRA_HAVE_PRINTER

void TVeltra::FillPrinterList() {
  PrinterC->clear();
  for (const std::string& name : win::EnumPrinterNames()) {
    PrinterC->addItem(QString::fromStdString(name));
  }
  if (PrinterC->count() > 0) PrinterC->setCurrentIndex(0);
}

// One spooler document of two writes: select the printer and initialise it, then
// ESC p m t1 t2.
void TVeltra::JvHTButton1Click() {
  const int index = PrinterC->currentIndex();
  const QString printerName = index >= 0 ? PrinterC->itemText(index) : QString();
  if (printerName.isEmpty()) {
    ShowMessage(this, QStringLiteral("Please define first the Printer"));
    return;
  }
  const std::string pulse =
      session::DrawerPulseCommand(RBDrawer2->isChecked(), OnTime->value(), OffTime->value());
  if (printer::PrintRawDocument(*DDruck, printerName.toStdString(),
                                {session::kDrawerSelectAndInit, pulse})) {
    Mess->setText(QStringLiteral("Cash-Drawer-Signal sent"));
  } else {
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
