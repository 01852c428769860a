#include "tests/printer/cups_fixture.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tests/daemon_support.h"

namespace veltra::testing {
namespace fs = std::filesystem;
namespace {

// Copies a job into <folder>/<job id>.data with its title beside it. Mode 700 makes
// a root cupsd run it as root, which may write to the test's folder.
constexpr const char* kCaptureBackend = R"(#!/bin/sh
if [ $# -eq 0 ]; then echo 'direct capture "Unknown" "Test capture"'; exit 0; fi
folder="${DEVICE_URI#capture:}"
if [ -n "$6" ]; then cat "$6"; else cat; fi > "$folder/$1.part" || exit 1
printf '%s' "$3" > "$folder/$1.title"
mv "$folder/$1.part" "$folder/$1.data"
)";

const char* const kCupsd = "/usr/sbin/cupsd";

bool WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

std::string QueueUri(const std::string& name) {
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", name.c_str());
  return uri;
}

// Sends `request` to the current server; true when it succeeded.
bool Send(ipp_t* request, const char* resource) {
  http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                              5000, nullptr);
  if (!http) {
    ippDelete(request);
    return false;
  }
  ippDelete(cupsDoRequest(http, request, resource));
  httpClose(http);
  return cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE;
}

}  // namespace

CupsClientEnvironment::CupsClientEnvironment(const std::string& server, const std::string& home) {
  for (const char* name : {"CUPS_SERVER", "HOME", "PRINTER", "LPDEST"}) {
    const char* value = std::getenv(name);
    saved_.push_back({name, value != nullptr, value ? value : ""});
  }
  setenv("CUPS_SERVER", server.c_str(), 1);
  setenv("HOME", home.c_str(), 1);
  unsetenv("PRINTER");
  unsetenv("LPDEST");
  cupsSetServer(nullptr);  // forget a server name the client library cached
}

CupsClientEnvironment::~CupsClientEnvironment() {
  for (const Saved& s : saved_) {
    if (s.had) {
      setenv(s.name, s.value.c_str(), 1);
    } else {
      unsetenv(s.name);
    }
  }
  cupsSetServer(nullptr);
}

PrivateCups::PrivateCups() {
  ready_ = Start();
  if (!ready_) Stop();
}

PrivateCups::~PrivateCups() {
  Stop();
}

bool PrivateCups::Start() {
  char pattern[] = "/tmp/veltra-cups-XXXXXX";
  if (!mkdtemp(pattern)) {
    failure_ = "mkdtemp failed";
    return false;
  }
  dir_ = pattern;
  socket_ = dir_ + "/cups.sock";
  // cupsd's helpers run as "lp" when it runs as root: they must reach the folder.
  chmod(dir_.c_str(), 0755);
  if (!WriteConfiguration()) return false;
  env_ = new CupsClientEnvironment(socket_, dir_ + "/home");

  const std::string conf = dir_ + "/cupsd.conf", files = dir_ + "/cups-files.conf";
  pid_ = SpawnDaemon({kCupsd, "-f", "-c", conf, "-s", files}, dir_ + "/cupsd.out", {}, &failure_);
  return pid_ > 0 && WaitForSocket(std::chrono::seconds(10));
}

bool PrivateCups::WriteConfiguration() {
  const fs::path dir = dir_;
  std::error_code error;
  for (const char* sub :
       {"bin/backend", "cache", "state", "spool/tmp", "log", "home", "captures"}) {
    fs::create_directories(dir / sub, error);
  }
  // Its own ServerBin: the capture backend, and the system's cups-exec that starts it.
  // Raw queues run no filters.
  fs::create_directory_symlink("/usr/lib/cups/daemon", dir / "bin/daemon", error);
  const fs::path backend = dir / "bin/backend/capture";
  if (!WriteFile(backend, kCaptureBackend) || chmod(backend.c_str(), 0700) != 0) {
    failure_ = "cannot write the capture backend";
    return false;
  }
  const std::string files = "ServerRoot " + dir_ + "\nServerBin " + dir_ + "/bin\nCacheDir " +
                            dir_ + "/cache\nStateDir " + dir_ + "/state\nRequestRoot " + dir_ +
                            "/spool\nTempDir " + dir_ + "/spool/tmp\nAccessLog " + dir_ +
                            "/log/access_log\nErrorLog " + dir_ + "/log/error_log\nPageLog " +
                            dir_ + "/log/page_log\nPrintcap " + dir_ + "/printcap\n";
  const std::string user = getuid() == 0 ? "SystemGroup root\n" : "";
  // No Port line: the Unix socket is the only way in.
  const std::string conf = "Listen " + socket_ +
                           "\nBrowsing Off\nBrowseLocalProtocols none\nWebInterface No\n"
                           "DefaultAuthType None\nLogLevel info\n"
                           "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                           "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                           "</Policy>\n";
  if (!WriteFile(dir / "cups-files.conf", files + user) || !WriteFile(dir / "cupsd.conf", conf)) {
    failure_ = "cannot write the configuration";
    return false;
  }
  return true;
}

bool PrivateCups::WaitForSocket(std::chrono::milliseconds timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
  bool exited = false;
  const bool up = test::WaitUntil(
      [&] {
        int status = 0;
        exited = waitpid(pid_, &status, WNOHANG) == pid_;
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        const bool answers =
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return exited || answers;
      },
      timeout, std::chrono::milliseconds(20));
  if (up && !exited) return true;
  if (exited) {
    pid_ = -1;
    failure_ = "cupsd exited: " + ReadWholeFile(dir_ + "/cupsd.out") + ErrorLog();
  } else {
    failure_ = "cupsd did not answer in time: " + ErrorLog();
  }
  return false;
}

void PrivateCups::Stop() {
  if (pid_ > 0) {
    // cupsd sometimes sits out a one-second tick before leaving; nothing of it is kept.
    StopDaemon(pid_, std::chrono::milliseconds(300));
    pid_ = -1;
  }
  delete env_;
  env_ = nullptr;
  if (!dir_.empty()) {
    std::error_code error;
    fs::remove_all(dir_, error);
    dir_.clear();
  }
}

std::string PrivateCups::ErrorLog() const {
  return ReadWholeFile(dir_ + "/log/error_log");
}

bool PrivateCups::AddRawQueue(const std::string& name) {
  const fs::path folder = fs::path(dir_) / "captures" / name;
  std::error_code error;
  fs::create_directories(folder, error);
  // A queue without a PPD is a raw queue.
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               QueueUri(name).c_str());
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr,
               ("capture:" + folder.string()).c_str());
  ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
  ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
  return Send(request, "/admin/");
}

bool PrivateCups::SetDefault(const std::string& name) {
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_SET_DEFAULT);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               QueueUri(name).c_str());
  return Send(request, "/admin/");
}

bool PrivateCups::RejectJobs(const std::string& name) {
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_REJECT_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               QueueUri(name).c_str());
  return Send(request, "/admin/");
}

std::vector<CupsJob> PrivateCups::Jobs() {
  std::vector<CupsJob> jobs;
  http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                              5000, nullptr);
  if (!http) return jobs;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  const char* wanted[] = {"job-id", "job-name", "job-state"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr,
                wanted);
  ipp_t* response = cupsDoRequest(http, request, "/");
  for (ipp_attribute_t* a = response ? ippFirstAttribute(response) : nullptr; a;
       a = ippNextAttribute(response)) {
    const char* attr = ippGetName(a);
    if (!attr) {
      continue;  // separator between jobs
    } else if (!std::strcmp(attr, "job-id")) {
      jobs.push_back({ippGetInteger(a, 0), "", 0});
    } else if (!jobs.empty() && !std::strcmp(attr, "job-name")) {
      jobs.back().name = ippGetString(a, 0, nullptr);
    } else if (!jobs.empty() && !std::strcmp(attr, "job-state")) {
      jobs.back().state = ippGetInteger(a, 0);
    }
  }
  ippDelete(response);
  httpClose(http);
  return jobs;
}

bool PrivateCups::WaitUntilIdle(std::chrono::milliseconds timeout) {
  return test::WaitUntil(
      [&] {
        const auto jobs = Jobs();
        return std::none_of(jobs.begin(), jobs.end(), [](const CupsJob& j) {
          return j.state < IPP_JSTATE_STOPPED && j.state != IPP_JSTATE_HELD;
        });
      },
      timeout, std::chrono::milliseconds(20));
}

std::vector<CapturedJob> PrivateCups::Captured(const std::string& queue) const {
  std::vector<CapturedJob> jobs;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::path(dir_) / "captures" / queue, error)) {
    if (entry.path().extension() != ".data") continue;
    CapturedJob job;
    job.id = std::atoi(entry.path().stem().c_str());
    job.data = ReadWholeFile(entry.path());
    job.title = ReadWholeFile(fs::path(entry.path()).replace_extension(".title"));
    jobs.push_back(std::move(job));
  }
  std::sort(jobs.begin(), jobs.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  return jobs;
}

bool ListensOnTcp(pid_t pid) {
  const std::set<std::string> inodes = SocketInodes(pid);
  for (const ListeningSocket& s : ListeningTcpSockets())
    if (inodes.count(s.inode)) return true;
  return false;
}

}  // namespace veltra::testing
