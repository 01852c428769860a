// The spooler on Windows: winspool itself. <windows.h> is kept out of this file
// because its macros (OpenPrinter, TRUE, ERROR_*) clash with the layer's own names,
// so the few calls are declared here with their Win32 signatures.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "printer/spooler/spooler.h"

extern "C" {
struct NativeDocInfo1 {
  char* pDocName;
  char* pOutputFile;
  char* pDatatype;
};
struct NativePrinterInfo4 {
  char* pPrinterName;
  char* pServerName;
  unsigned long Attributes;
};
__declspec(dllimport) int __stdcall OpenPrinterA(char*, void**, void*);
__declspec(dllimport) unsigned long __stdcall StartDocPrinterA(void*, unsigned long,
                                                               unsigned char*);
__declspec(dllimport) int __stdcall StartPagePrinter(void*);
__declspec(dllimport) int __stdcall WritePrinter(void*, void*, unsigned long, unsigned long*);
__declspec(dllimport) int __stdcall EndPagePrinter(void*);
__declspec(dllimport) int __stdcall EndDocPrinter(void*);
__declspec(dllimport) int __stdcall AbortPrinter(void*);
__declspec(dllimport) int __stdcall ClosePrinter(void*);
__declspec(dllimport) int __stdcall EnumPrintersA(unsigned long, char*, unsigned long,
                                                  unsigned char*, unsigned long, unsigned long*,
                                                  unsigned long*);
__declspec(dllimport) unsigned long __stdcall GetProfileStringA(const char*, const char*,
                                                                const char*, char*, unsigned long);
}

namespace veltra::win {
namespace {

constexpr unsigned long kEnumLocal = 0x2, kEnumConnections = 0x4;

// Native handles are pointers; the layer hands out 32-bit ids for them.
struct NativeTable {
  std::mutex mutex;
  std::unordered_map<HANDLE, void*> handles;
  HANDLE next = 1;

  void* Find(HANDLE id) {
    std::lock_guard lock(mutex);
    auto it = handles.find(id);
    return it == handles.end() ? nullptr : it->second;
  }
};

NativeTable& Table() {
  static NativeTable* table = new NativeTable;
  return *table;
}

class WinSpooler final : public SpoolerBackend {
 public:
  BOOL OpenPrinter(const char* printerName, HANDLE* printer, void* defaults) override {
    void* native = nullptr;
    if (!printer || !::OpenPrinterA(const_cast<char*>(printerName), &native, defaults)) {
      return FALSE;
    }
    std::lock_guard lock(Table().mutex);
    *printer = Table().next++;
    Table().handles.emplace(*printer, native);
    return TRUE;
  }
  DWORD StartDocPrinter(HANDLE printer, DWORD level, const DOC_INFO_1A* docInfo) override {
    if (!docInfo) return 0;
    NativeDocInfo1 native{const_cast<char*>(docInfo->pDocName),
                          const_cast<char*>(docInfo->pOutputFile),
                          const_cast<char*>(docInfo->pDatatype)};
    return ::StartDocPrinterA(Table().Find(printer), level,
                              reinterpret_cast<unsigned char*>(&native));
  }
  BOOL StartPagePrinter(HANDLE printer) override {
    return ::StartPagePrinter(Table().Find(printer));
  }
  BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD count, DWORD* written) override {
    unsigned long done = 0;
    const BOOL ok = ::WritePrinter(Table().Find(printer), const_cast<void*>(buffer), count, &done);
    if (written) *written = done;
    return ok;
  }
  BOOL EndPagePrinter(HANDLE printer) override { return ::EndPagePrinter(Table().Find(printer)); }
  BOOL EndDocPrinter(HANDLE printer) override { return ::EndDocPrinter(Table().Find(printer)); }
  BOOL AbortPrinter(HANDLE printer) override { return ::AbortPrinter(Table().Find(printer)); }
  BOOL ClosePrinter(HANDLE printer) override {
    void* native = Table().Find(printer);
    if (!native || !::ClosePrinter(native)) return FALSE;
    std::lock_guard lock(Table().mutex);
    Table().handles.erase(printer);
    return TRUE;
  }
  DWORD GetProfileString(const char* section, const char* key, const char* fallback, char* out,
                         DWORD size) override {
    return ::GetProfileStringA(section, key, fallback, out, size);
  }
  std::vector<std::string> EnumPrinterNames() override {
    const unsigned long flags = kEnumLocal | kEnumConnections;
    unsigned long needed = 0, count = 0;
    ::EnumPrintersA(flags, nullptr, 4, nullptr, 0, &needed, &count);
    std::vector<std::string> names;
    if (needed == 0) return names;
    auto buffer = std::make_unique<unsigned char[]>(needed);
    if (!::EnumPrintersA(flags, nullptr, 4, buffer.get(), needed, &needed, &count)) return names;
    const auto* info = reinterpret_cast<const NativePrinterInfo4*>(buffer.get());
    for (unsigned long i = 0; i < count; ++i) names.emplace_back(info[i].pPrinterName);
    return names;
  }
};

}  // namespace

SpoolerBackend& SystemSpooler() {
  static WinSpooler* spooler = new WinSpooler;
  return *spooler;
}

}  // namespace veltra::win
