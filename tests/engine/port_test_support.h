// Helpers for the component tests: a report log, unique virtual pair names and a
// pseudo-terminal whose slave a component opens by path.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/serial_port.h"
#include "platform/virtual/virtual_ports.h"

namespace veltra::engine::test {

struct Report {
  Cardinal place;
  Cardinal code;
  std::string msg;
  Byte noise;
  bool operator==(const Report&) const = default;
  friend void PrintTo(const Report& r, std::ostream* os) {
    *os << r.place << "/" << r.code << " \"" << r.msg << "\" noise " << int(r.noise);
  }
};

// Records every OnProcessError of one component.
struct ReportLog {
  std::vector<Report> reports;

  void Attach(TSerialPort& port) {
    port.OnProcessError = [this](TObject*, Cardinal place, Cardinal code, const std::string& msg,
                                 Byte noise) {
      reports.push_back({place, code, msg, noise});
    };
  }
  // The first report with this text, or null.
  const Report* Find(const std::string& msg) const {
    for (const Report& r : reports) {
      if (r.msg == msg) return &r;
    }
    return nullptr;
  }
  std::vector<Cardinal> Places() const {
    std::vector<Cardinal> places;
    for (const Report& r : reports) places.push_back(r.place);
    return places;
  }
};

// A virtual cable with names no other test uses; removed with the object.
struct Cable {
  std::string near, far;
  explicit Cable(bool instant = true) {
    static std::atomic<int> counter{0};
    const int n = counter++;
    near = "CABLE" + std::to_string(n) + "N";
    far = "CABLE" + std::to_string(n) + "F";
    platform::CreateVirtualPair(near, far, {.instant = instant});
  }
  ~Cable() { platform::RemoveVirtualPair(near); }
  Cable(const Cable&) = delete;
  Cable& operator=(const Cable&) = delete;
  std::unique_ptr<platform::VirtualEndControl> Near() const {
    return platform::ControlVirtualEnd(near);
  }
  std::unique_ptr<platform::VirtualEndControl> Far() const {
    return platform::ControlVirtualEnd(far);
  }
};

// A pseudo-terminal; the component opens its slave by path.
struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
      slave = ::ptsname(master);
    }
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};

}  // namespace veltra::engine::test
