// Routes the spooler calls to the current backend.
#include <atomic>

#include "printer/spooler/spooler.h"

namespace veltra::win {
namespace {

std::atomic<SpoolerBackend*> replacement{nullptr};

SpoolerBackend& Current() {
  SpoolerBackend* backend = replacement.load();
  return backend ? *backend : SystemSpooler();
}

}  // namespace

SpoolerBackend* SetSpoolerBackend(SpoolerBackend* backend) {
  SpoolerBackend* previous = replacement.exchange(backend);
  return previous ? previous : &SystemSpooler();
}

BOOL OpenPrinterA(const char* printerName, HANDLE* printer, void* defaults) {
  return Current().OpenPrinter(printerName, printer, defaults);
}
DWORD StartDocPrinterA(HANDLE printer, DWORD level, const DOC_INFO_1A* docInfo) {
  return Current().StartDocPrinter(printer, level, docInfo);
}
BOOL StartPagePrinter(HANDLE printer) {
  return Current().StartPagePrinter(printer);
}
BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD count, DWORD* written) {
  return Current().WritePrinter(printer, buffer, count, written);
}
BOOL EndPagePrinter(HANDLE printer) {
  return Current().EndPagePrinter(printer);
}
BOOL EndDocPrinter(HANDLE printer) {
  return Current().EndDocPrinter(printer);
}
BOOL AbortPrinter(HANDLE printer) {
  return Current().AbortPrinter(printer);
}
BOOL ClosePrinter(HANDLE printer) {
  return Current().ClosePrinter(printer);
}
DWORD GetProfileStringA(const char* section, const char* key, const char* fallback, char* out,
                        DWORD size) {
  return Current().GetProfileString(section, key, fallback, out, size);
}
std::vector<std::string> EnumPrinterNames() {
  return Current().EnumPrinterNames();
}

}  // namespace veltra::win
