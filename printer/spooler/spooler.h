// The print-spooler calls the raw printer makes, with Win32's names, arguments and
// return conventions. On Windows they pass through to winspool; on Linux they map
// onto CUPS: one raw job per document, pages are bookkeeping only, and the default
// printer entry is built as "name,driver,port" from the CUPS default destination.
//
// The calls go through a replaceable backend so that tests can inject failures.
// Printer handles are ids from the backend's own table, never reused in a process.
#pragma once

#include <string>
#include <vector>

#include "platform/core/win32_types.h"

namespace veltra::win {

inline constexpr DWORD ERROR_INVALID_LEVEL = 124;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_INVALID_PRINTER_NAME = 1801;
inline constexpr DWORD ERROR_INVALID_DATATYPE = 1804;
inline constexpr DWORD ERROR_INVALID_PRINTER_STATE = 1906;
inline constexpr DWORD ERROR_SPL_NO_STARTDOC = 3003;
// What Windows reports when the spooler service cannot be reached.
inline constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;

struct DOC_INFO_1A {
  const char* pDocName = nullptr;
  const char* pOutputFile = nullptr;  // only null is supported
  const char* pDatatype = nullptr;    // only "RAW" is supported
};

class SpoolerBackend {
 public:
  virtual ~SpoolerBackend() = default;
  virtual BOOL OpenPrinter(const char* printerName, HANDLE* printer, void* defaults) = 0;
  // Returns the job id, 0 on failure.
  virtual DWORD StartDocPrinter(HANDLE printer, DWORD level, const DOC_INFO_1A* docInfo) = 0;
  virtual BOOL StartPagePrinter(HANDLE printer) = 0;
  virtual BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD count, DWORD* written) = 0;
  virtual BOOL EndPagePrinter(HANDLE printer) = 0;
  virtual BOOL EndDocPrinter(HANDLE printer) = 0;
  virtual BOOL AbortPrinter(HANDLE printer) = 0;
  virtual BOOL ClosePrinter(HANDLE printer) = 0;
  // Copies at most size - 1 characters and a NUL; returns the characters copied.
  virtual DWORD GetProfileString(const char* section, const char* key, const char* fallback,
                                 char* out, DWORD size) = 0;
  // Names of the installed printers, in the spooler's order.
  virtual std::vector<std::string> EnumPrinterNames() = 0;
};

// The platform's own spooler (CUPS on Linux, winspool on Windows).
SpoolerBackend& SystemSpooler();
// Makes the free functions below use `backend`; null restores the system spooler.
// Returns the backend used before. Swap only while no printer call is running.
SpoolerBackend* SetSpoolerBackend(SpoolerBackend* backend);

BOOL OpenPrinterA(const char* printerName, HANDLE* printer, void* defaults);
DWORD StartDocPrinterA(HANDLE printer, DWORD level, const DOC_INFO_1A* docInfo);
BOOL StartPagePrinter(HANDLE printer);
BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD count, DWORD* written);
BOOL EndPagePrinter(HANDLE printer);
BOOL EndDocPrinter(HANDLE printer);
BOOL AbortPrinter(HANDLE printer);
BOOL ClosePrinter(HANDLE printer);
DWORD GetProfileStringA(const char* section, const char* key, const char* fallback, char* out,
                        DWORD size);
std::vector<std::string> EnumPrinterNames();

}  // namespace veltra::win
