// The spooler over CUPS. A printer handle owns one connection to the CUPS server;
// StartDocPrinter creates a job and opens its only document as a raw stream,
// WritePrinter streams bytes into it, EndDocPrinter finishes it. Pages have no
// meaning for a raw stream and are only tracked.
#include <cups/cups.h>
#include <sys/socket.h>

#include <strings.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/core/comm_api.h"
#include "printer/spooler/spooler.h"

namespace veltra::win {
namespace {

// An unreachable or silent server must not freeze the window that asks for the
// printer list; a print job the user asked for may take a little longer.
constexpr int kConnectTimeoutMs = 1000;
constexpr double kQueryTimeoutSeconds = 1.0;
constexpr double kJobTimeoutSeconds = 5.0;

int GiveUp(http_t*, void*) {
  return 0;
}

http_t* ConnectToServer(double replyTimeoutSeconds = kJobTimeoutSeconds) {
  const char* server = cupsServer();  // first: it also settles ippPort()
  const int port = ippPort();
  http_t* http = httpConnect2(server, port, nullptr, AF_UNSPEC, cupsEncryption(), 1,
                              kConnectTimeoutMs, nullptr);
  if (http) httpSetTimeout(http, replyTimeoutSeconds, GiveUp, nullptr);
  return http;
}

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
using Connection = std::unique_ptr<http_t, HttpCloser>;

struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

bool Succeeded(ipp_status_t status) {
  return status <= IPP_STATUS_OK_EVENTS_COMPLETE;
}

std::string PrinterUri(const std::string& name) {
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", name.c_str());
  return uri;
}

bool DestinationExists(http_t* http, const std::string& name) {
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               PrinterUri(name).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "printer-name");
  IppMessage response(cupsDoRequest(http, request, "/"));
  return response && Succeeded(cupsLastError());
}

enum class DocumentPhase { None, Streaming, Broken };

struct CupsPrinter {
  std::mutex mutex;
  std::string name;
  Connection http;
  int jobId = 0;
  DocumentPhase phase = DocumentPhase::None;
  bool pageOpen = false;
};

struct PrinterTable {
  std::mutex mutex;
  std::unordered_map<HANDLE, std::shared_ptr<CupsPrinter>> printers;
  HANDLE next = 1;
};

PrinterTable& Table() {
  static PrinterTable* table = new PrinterTable;  // outlives static destructors of tests
  return *table;
}

std::shared_ptr<CupsPrinter> Find(HANDLE handle) {
  std::lock_guard lock(Table().mutex);
  auto it = Table().printers.find(handle);
  if (it == Table().printers.end()) return nullptr;
  return it->second;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// Drops the document stream (the server discards a request cut short) and cancels
// the job over a fresh connection. Ends with a usable connection or reports FALSE.
BOOL CancelJob(CupsPrinter& printer) {
  if (printer.phase == DocumentPhase::Streaming || printer.phase == DocumentPhase::Broken ||
      !printer.http) {
    printer.http.reset(ConnectToServer());
  }
  if (!printer.http) return Fail(RPC_S_SERVER_UNAVAILABLE);
  printer.phase = DocumentPhase::Broken;  // the stream, if any, is gone
  // Job 0 would mean "the current job" to the server: never cancel by accident.
  const ipp_status_t status =
      printer.jobId <= 0
          ? IPP_STATUS_OK
          : cupsCancelJob2(printer.http.get(), printer.name.c_str(), printer.jobId, 0);
  // A job the server has already ended or forgotten is as good as cancelled.
  if (!Succeeded(status) && status != IPP_STATUS_ERROR_NOT_POSSIBLE &&
      status != IPP_STATUS_ERROR_NOT_FOUND) {
    return Fail(ERROR_GEN_FAILURE);
  }
  printer.jobId = 0;
  printer.phase = DocumentPhase::None;
  printer.pageOpen = false;
  return TRUE;
}

class CupsSpooler final : public SpoolerBackend {
 public:
  BOOL OpenPrinter(const char* printerName, HANDLE* printer, void*) override {
    if (!printer) return Fail(ERROR_INVALID_PARAMETER);
    if (!printerName || !*printerName) return Fail(ERROR_INVALID_PRINTER_NAME);
    Connection http(ConnectToServer());
    if (!http) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (!DestinationExists(http.get(), printerName)) return Fail(ERROR_INVALID_PRINTER_NAME);
    auto entry = std::make_shared<CupsPrinter>();
    entry->name = printerName;
    entry->http = std::move(http);
    std::lock_guard lock(Table().mutex);
    *printer = Table().next++;
    Table().printers.emplace(*printer, std::move(entry));
    return TRUE;
  }

  DWORD StartDocPrinter(HANDLE handle, DWORD level, const DOC_INFO_1A* docInfo) override {
    auto printer = Find(handle);
    if (!printer) return Fail(ERROR_INVALID_HANDLE);
    if (level != 1 || !docInfo) return Fail(ERROR_INVALID_LEVEL);
    if (docInfo->pOutputFile) return Fail(ERROR_NOT_SUPPORTED);
    if (!docInfo->pDatatype || strcasecmp(docInfo->pDatatype, "RAW") != 0) {
      return Fail(ERROR_INVALID_DATATYPE);
    }
    std::lock_guard lock(printer->mutex);
    if (printer->phase == DocumentPhase::Streaming) return Fail(ERROR_INVALID_PRINTER_STATE);
    if (printer->phase == DocumentPhase::Broken && !CancelJob(*printer)) return 0;
    if (!printer->http) printer->http.reset(ConnectToServer());
    if (!printer->http) return Fail(RPC_S_SERVER_UNAVAILABLE);
    const char* title = docInfo->pDocName ? docInfo->pDocName : "";
    const int job = cupsCreateJob(printer->http.get(), printer->name.c_str(), title, 0, nullptr);
    if (job <= 0) return Fail(ERROR_GEN_FAILURE);
    printer->jobId = job;
    if (cupsStartDocument(printer->http.get(), printer->name.c_str(), job, title, CUPS_FORMAT_RAW,
                          1) != HTTP_STATUS_CONTINUE) {
      CancelJob(*printer);
      return Fail(ERROR_GEN_FAILURE);
    }
    printer->phase = DocumentPhase::Streaming;
    return static_cast<DWORD>(job);
  }

  BOOL StartPagePrinter(HANDLE handle) override {
    auto printer = Find(handle);
    if (!printer) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(printer->mutex);
    if (printer->phase != DocumentPhase::Streaming) return Fail(ERROR_SPL_NO_STARTDOC);
    printer->pageOpen = true;
    return TRUE;
  }

  BOOL WritePrinter(HANDLE handle, const void* buffer, DWORD count, DWORD* written) override {
    if (written) *written = 0;
    auto printer = Find(handle);
    if (!printer) return Fail(ERROR_INVALID_HANDLE);
    if (!written || (!buffer && count)) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(printer->mutex);
    if (printer->phase != DocumentPhase::Streaming) return Fail(ERROR_SPL_NO_STARTDOC);
    if (count == 0) return TRUE;
    if (cupsWriteRequestData(printer->http.get(), static_cast<const char*>(buffer), count) !=
        HTTP_STATUS_CONTINUE) {
      printer->phase = DocumentPhase::Broken;
      return Fail(ERROR_WRITE_FAULT);
    }
    *written = count;
    return TRUE;
  }

  BOOL EndPagePrinter(HANDLE handle) override {
    auto printer = Find(handle);
    if (!printer) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(printer->mutex);
    if (printer->phase == DocumentPhase::None) return Fail(ERROR_SPL_NO_STARTDOC);
    if (!printer->pageOpen) return Fail(ERROR_INVALID_PRINTER_STATE);
    printer->pageOpen = false;
    return TRUE;
  }

  // A broken stream cannot be finished; the caller has to abort the document.
  BOOL EndDocPrinter(HANDLE handle) override {
    auto printer = Find(handle);
    if (!printer) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(printer->mutex);
    if (printer->phase == DocumentPhase::None) return Fail(ERROR_SPL_NO_STARTDOC);
    if (printer->phase == DocumentPhase::Broken) return Fail(ERROR_WRITE_FAULT);
    if (!Succeeded(cupsFinishDocument(printer->http.get(), printer->name.c_str()))) {
      printer->phase = DocumentPhase::Broken;
      return Fail(ERROR_GEN_FAILURE);
    }
    printer->jobId = 0;
    printer->phase = DocumentPhase::None;
    printer->pageOpen = false;
    return TRUE;
  }

  BOOL AbortPrinter(HANDLE handle) override {
    auto printer = Find(handle);
    if (!printer) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(printer->mutex);
    if (printer->phase == DocumentPhase::None) return Fail(ERROR_SPL_NO_STARTDOC);
    return CancelJob(*printer);
  }

  // A document still open is cancelled rather than printed half-written.
  BOOL ClosePrinter(HANDLE handle) override {
    std::shared_ptr<CupsPrinter> printer;
    {
      std::lock_guard lock(Table().mutex);
      auto it = Table().printers.find(handle);
      if (it == Table().printers.end()) return Fail(ERROR_INVALID_HANDLE);
      printer = std::move(it->second);
      Table().printers.erase(it);
    }
    std::lock_guard lock(printer->mutex);
    if (printer->phase != DocumentPhase::None) CancelJob(*printer);
    printer->http.reset();
    return TRUE;
  }

  DWORD GetProfileString(const char* section, const char* key, const char* fallback, char* out,
                         DWORD size) override {
    std::string value = fallback ? fallback : "";
    if (section && key && strcasecmp(section, "windows") == 0 && strcasecmp(key, "device") == 0) {
      const std::string entry = DefaultDeviceEntry();
      if (!entry.empty()) value = entry;
    }
    if (!out || size == 0) return 0;
    const DWORD copied = static_cast<DWORD>(std::min<std::size_t>(value.size(), size - 1));
    std::memcpy(out, value.data(), copied);
    out[copied] = '\0';
    return copied;
  }

  std::vector<std::string> EnumPrinterNames() override {
    std::vector<std::string> names;
    Connection http(ConnectToServer(kQueryTimeoutSeconds));
    if (!http) return names;
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    IppMessage response(cupsDoRequest(http.get(), request, "/"));
    if (!response) return names;
    for (ipp_attribute_t* a = ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME); a;
         a = ippFindNextAttribute(response.get(), "printer-name", IPP_TAG_NAME)) {
      if (const char* name = ippGetString(a, 0, nullptr)) names.emplace_back(name);
    }
    return names;
  }

 private:
  // "name,driver,port" as the Windows profile holds it; the port names the server.
  static std::string DefaultDeviceEntry() {
    Connection http(ConnectToServer(kQueryTimeoutSeconds));
    if (!http) return {};
    const char* name = cupsGetDefault2(http.get());
    if (!name || !*name) return {};
    return std::string(name) + ",CUPS," + cupsServer();
  }
};

}  // namespace

SpoolerBackend& SystemSpooler() {
  static CupsSpooler* spooler = new CupsSpooler;  // usable from static destructors too
  return *spooler;
}

}  // namespace veltra::win
