#include "tests/platform/ser2net_fixture.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/daemon_support.h"

namespace veltra::test {
namespace fs = std::filesystem;
namespace {

const char* const kSer2net = "/usr/sbin/ser2net";

// A port nobody uses right now (the kernel's pick for a socket bound to port 0).
int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

std::string LoopbackHex(int port) {
  char text[16];
  std::snprintf(text, sizeof text, "0100007F:%04X", port);
  return text;
}

std::string ConnectionYaml(const std::string& name, const std::string& accepter,
                           const std::string& device, const std::string& options) {
  return "connection: &" + name + "\n  accepter: " + accepter + "\n  connector: serialdev," +
         device + ",9600n81,local\n  options:\n    kickolduser: true\n" + options;
}

}  // namespace

PrivateSer2net::PrivateSer2net(const std::string& device, const std::string& options,
                               const std::string& termiosProbe) {
  ready_ = Start(device, options, termiosProbe);
}

PrivateSer2net::~PrivateSer2net() {
  if (pid_ > 0) testing::StopDaemon(pid_, std::chrono::seconds(2));
  std::error_code error;
  if (!dir_.empty()) fs::remove_all(dir_, error);
}

void PrivateSer2net::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool PrivateSer2net::Start(const std::string& device, const std::string& options,
                           const std::string& probe) {
  char pattern[] = "/tmp/veltra-ser2net-XXXXXX";
  if (!mkdtemp(pattern)) {
    failure_ = "mkdtemp failed";
    return false;
  }
  dir_ = pattern;
  telnetPort_ = FreeLoopbackPort();
  rawPort_ = FreeLoopbackPort();
  const std::string yaml =
      ConnectionYaml("rfc2217", "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(telnetPort_),
                     device, options) +
      ConnectionYaml("raw", "tcp,127.0.0.1," + std::to_string(rawPort_), device, options);
  std::ofstream(dir_ + "/ser2net.yaml") << yaml;
  std::vector<std::string> env;
  if (!probe.empty()) {
    env.push_back("LD_PRELOAD=" + probe);
    env.push_back("VELTRA_TERMIOS_LOG=" + dir_ + "/termios.log");
  }
  pid_ = testing::SpawnDaemon(
      {kSer2net, "-n", "-u", "-c", dir_ + "/ser2net.yaml", "-P", dir_ + "/pid"},
      dir_ + "/ser2net.out", env, &failure_);
  return pid_ > 0 && WaitForListening();
}

bool PrivateSer2net::WaitForListening() {
  const std::string telnet = LoopbackHex(telnetPort_);
  const std::string raw = LoopbackHex(rawPort_);
  bool exited = false;
  const bool up = WaitUntil(
      [&] {
        int status = 0;
        exited = waitpid(pid_, &status, WNOHANG) == pid_;
        int listening = 0;
        for (const auto& s : testing::ListeningTcpSockets())
          listening += s.local == telnet || s.local == raw;
        return exited || listening == 2;
      },
      std::chrono::seconds(10), std::chrono::milliseconds(10));
  if (up && !exited) return true;
  if (exited) pid_ = -1;
  failure_ = std::string(exited ? "ser2net exited: " : "ser2net did not listen in time: ") +
             testing::ReadWholeFile(dir_ + "/ser2net.out");
  return false;
}

bool PrivateSer2net::ListensOnlyOnLoopback() const {
  const std::set<std::string> inodes = testing::SocketInodes(pid_);
  int listening = 0;
  for (const auto& s : testing::ListeningTcpSockets()) {
    if (!inodes.count(s.inode)) continue;
    ++listening;
    if (s.local.rfind("0100007F:", 0) != 0) return false;
  }
  return listening > 0;
}

std::string PrivateSer2net::LastTermios() const {
  std::istringstream lines(testing::ReadWholeFile(dir_ + "/termios.log"));
  std::string line, last;
  while (std::getline(lines, line)) last = line;
  return last;
}

}  // namespace veltra::test
