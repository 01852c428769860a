#include "tests/platform/ser2net_fixture.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
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

extern char** environ;

namespace veltra::test {
namespace fs = std::filesystem;
namespace {

const char* const kSer2net = "/usr/sbin/ser2net";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

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

struct ListeningSocket {
  std::string local;  // hex address:port as /proc shows it
  std::string inode;
};

std::vector<ListeningSocket> ListeningSockets() {
  std::vector<ListeningSocket> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(ReadText(table));
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string field, local, state, inode;
      for (int i = 0; i < 10 && fields >> field; ++i) {
        if (i == 1) local = field;
        if (i == 3) state = field;
        if (i == 9) inode = field;
      }
      if (state == "0A") found.push_back({local, inode});  // 0A: LISTEN
    }
  }
  return found;
}

std::string HexPort(int port) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", port);
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
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        Kill();
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
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
  const std::string out = dir_ + "/ser2net.out";
  std::vector<std::string> args = {kSer2net, "-n",         "-u", "-c", dir_ + "/ser2net.yaml",
                                   "-P",     dir_ + "/pid"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  if (!probe.empty()) {
    env.push_back("LD_PRELOAD=" + probe);
    env.push_back("VELTRA_TERMIOS_LOG=" + dir_ + "/termios.log");
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int rc = posix_spawn(&pid_, kSer2net, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    failure_ = std::string("cannot start ") + kSer2net + " (is the ser2net package installed?)";
    return false;
  }
  return WaitForListening();
}

bool PrivateSer2net::WaitForListening() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const std::string telnet = "0100007F:" + HexPort(telnetPort_);
  const std::string raw = "0100007F:" + HexPort(rawPort_);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      failure_ = "ser2net exited: " + ReadText(dir_ + "/ser2net.out");
      return false;
    }
    int up = 0;
    for (const ListeningSocket& s : ListeningSockets()) up += s.local == telnet || s.local == raw;
    if (up == 2) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  failure_ = "ser2net did not listen in time: " + ReadText(dir_ + "/ser2net.out");
  return false;
}

bool PrivateSer2net::ListensOnlyOnLoopback() const {
  std::set<std::string> inodes;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error)) {
    const std::string target = fs::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  int listening = 0;
  for (const ListeningSocket& s : ListeningSockets()) {
    if (!inodes.count(s.inode)) continue;
    ++listening;
    if (s.local.rfind("0100007F:", 0) != 0) return false;
  }
  return listening > 0;
}

std::string PrivateSer2net::LastTermios() const {
  std::istringstream lines(ReadText(dir_ + "/termios.log"));
  std::string line, last;
  while (std::getline(lines, line)) last = line;
  return last;
}

}  // namespace veltra::test
