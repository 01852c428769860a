#include "printer/raw_printer.h"

#include <algorithm>
#include <limits>

namespace veltra::printer {
namespace {

// Room for the longest CUPS queue name plus driver and port; the classic 80-byte
// buffer would cut long names and make the open fail for no visible reason.
constexpr std::size_t kDeviceEntrySize = 1024;

}  // namespace

std::string PrinterNameFromDeviceEntry(const char* entry, std::size_t size) {
  const std::size_t length = static_cast<std::size_t>(std::find(entry, entry + size, '\0') - entry);
  std::size_t begin = 0;
  while (begin < length && (entry[begin] == ' ' || entry[begin] == '\t')) ++begin;
  std::size_t end = begin;
  while (end < length && entry[end] != ',') ++end;
  return std::string(entry + begin, end - begin);
}

TRAWPrinter::~TRAWPrinter() {
  if (FPrintState > 0) AbortDocument();
  // A spooler that refuses the abort still gets its handle back.
  if (FPrintState > 0) win::ClosePrinter(FPrinterHandle);
}

void TRAWPrinter::Closed() {
  FPrintState = 0;
  FPrinterHandle = 0;
}

bool TRAWPrinter::UseDefaultPrinter() {
  char entry[kDeviceEntrySize] = {};
  win::GetProfileStringA("windows", "device", "", entry, kDeviceEntrySize - 1);
  FPrinterName = PrinterNameFromDeviceEntry(entry, sizeof entry);
  return !FPrinterName.empty();
}

bool TRAWPrinter::OpenDocument() {
  if (FPrintState == 0) {
    if (FPrinterName.empty()) UseDefaultPrinter();
    win::HANDLE handle = 0;
    if (!FPrinterName.empty() && win::OpenPrinterA(FPrinterName.c_str(), &handle, nullptr)) {
      FPrinterHandle = handle;
      FPrintState = 1;
    }
  }
  if (FPrintState == 1) {
    win::DOC_INFO_1A info;
    info.pDocName = FDocumentTitle.c_str();
    info.pOutputFile = nullptr;
    info.pDatatype = "RAW";
    if (win::StartDocPrinterA(FPrinterHandle, 1, &info) != 0) FPrintState = 2;
  }
  if (FPrintState == 2 && win::StartPagePrinter(FPrinterHandle)) FPrintState = 3;
  return FPrintState == 3;
}

Integer TRAWPrinter::WriteBuffer(const void* Buffer, Integer Count) {
  if (FPrintState != 3 || Count < 0) return 0;
  win::DWORD written = 0;
  if (!win::WritePrinter(FPrinterHandle, Buffer, static_cast<win::DWORD>(Count), &written)) {
    return 0;
  }
  // Never claim more than was asked, whatever the spooler says.
  return written > static_cast<win::DWORD>(Count) ? Count : static_cast<Integer>(written);
}

bool TRAWPrinter::WriteString(const std::string& S) {
  if (S.size() > static_cast<std::size_t>(std::numeric_limits<Integer>::max())) return false;
  const auto count = static_cast<Integer>(S.size());
  return WriteBuffer(S.data(), count) == count;
}

bool TRAWPrinter::CloseDocument() {
  if (FPrintState == 3 && win::EndPagePrinter(FPrinterHandle)) FPrintState = 2;
  if (FPrintState == 2 && win::EndDocPrinter(FPrinterHandle)) FPrintState = 1;
  if (FPrintState == 1 && win::ClosePrinter(FPrinterHandle)) Closed();
  return FPrintState == 0;
}

bool TRAWPrinter::AbortDocument() {
  if (FPrintState > 1 && win::AbortPrinter(FPrinterHandle)) FPrintState = 1;
  if (FPrintState == 1 && win::ClosePrinter(FPrinterHandle)) Closed();
  return FPrintState == 0;
}

bool PrintRawDocument(TRAWPrinter& printer, const std::string& printerName,
                      const std::vector<std::string>& writes) {
  printer.SetPrinterName(printerName);
  bool sent = (printer.PrintState() == 0 || printer.AbortDocument()) && printer.OpenDocument();
  for (const std::string& bytes : writes) sent = sent && printer.WriteString(bytes);
  sent = sent && printer.CloseDocument();
  if (!sent) printer.AbortDocument();
  return sent;
}

}  // namespace veltra::printer
