// TRAWPrinter: sends bytes unchanged to a named printer as one spooler document of
// data type "RAW", so the printer's own command language reaches the device.
//
// PrintState: 0 closed, 1 printer open, 2 document started, 3 page started. Each
// step runs only from the state it expects and a failed spooler call leaves the
// state where it was, so the next OpenDocument, CloseDocument or AbortDocument
// carries on from there. Spooler failures are silent: False or 0 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "printer/spooler/spooler.h"

namespace veltra::printer {

using Integer = std::int32_t;

class TRAWPrinter {
 public:
  TRAWPrinter() = default;
  // Aborts a document still open and closes the printer.
  ~TRAWPrinter();
  TRAWPrinter(const TRAWPrinter&) = delete;
  TRAWPrinter& operator=(const TRAWPrinter&) = delete;

  const std::string& DocumentTitle() const { return FDocumentTitle; }
  void SetDocumentTitle(const std::string& value) { FDocumentTitle = value; }
  // Used only when leaving state 0: a new name takes effect after the printer closed.
  const std::string& PrinterName() const { return FPrinterName; }
  void SetPrinterName(const std::string& value) { FPrinterName = value; }
  win::HANDLE PrinterHandle() const { return FPrinterHandle; }
  Integer PrintState() const { return FPrintState; }

  // PrinterName from the system's default-printer entry; True when not empty.
  bool UseDefaultPrinter();
  // Advances as far as state 3; True when a page is open.
  bool OpenDocument();
  // Bytes the spooler accepted; 0 when no page is open.
  Integer WriteBuffer(const void* Buffer, Integer Count);
  bool WriteString(const std::string& S);
  // Steps back to state 0 the normal way; True when closed.
  bool CloseDocument();
  // Abandons the document and closes the printer; True when closed.
  bool AbortDocument();

 private:
  void Closed();

  std::string FDocumentTitle;
  std::string FPrinterName;
  win::HANDLE FPrinterHandle = 0;
  Integer FPrintState = 0;
};

// Sends `writes` to `printerName` as one document, each write whole. A document left
// over from an earlier failure is abandoned first (it would still go to the old
// printer), and one that fails half-way is abandoned, so nothing partial is printed.
// True when the spooler took every byte and closed the document.
bool PrintRawDocument(TRAWPrinter& printer, const std::string& printerName,
                      const std::vector<std::string>& writes);

// The printer name in a "name,driver,port" profile entry: the text up to the
// first NUL, without leading blanks, up to the first comma.
std::string PrinterNameFromDeviceEntry(const char* entry, std::size_t size);

}  // namespace veltra::printer
