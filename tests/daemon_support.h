// Private daemons for tests (cupsd, ser2net): starting one with its output in a
// file, and the TCP sockets a process listens on.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/test_wait.h"

extern char** environ;

namespace veltra::testing {

// Starts `args` (args[0] a full path) with stdout and stderr into `output` and this
// process's environment plus `extraEnv`; the pid, or -1 with *failure set.
inline pid_t SpawnDaemon(std::vector<std::string> args, const std::string& output,
                         const std::vector<std::string>& extraEnv, std::string* failure) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env(extraEnv);
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) return pid;
  *failure = "cannot start " + args[0] + ": " + std::strerror(rc);
  return -1;
}

// Asks the daemon to leave and reaps it; past `grace` it is killed.
inline void StopDaemon(pid_t pid, std::chrono::milliseconds grace) {
  kill(pid, SIGTERM);
  int status = 0;
  if (!test::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, grace,
                       std::chrono::milliseconds(5))) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::set<std::string> SocketInodes(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  return inodes;
}

struct ListeningSocket {
  std::string local;  // address:port in hex, as /proc/net/tcp shows it (127.0.0.1 is 0100007F)
  std::string inode;
};

// Every listening TCP socket of the machine, IPv4 and IPv6.
inline std::vector<ListeningSocket> ListeningTcpSockets() {
  std::vector<ListeningSocket> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(ReadWholeFile(table));
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

}  // namespace veltra::testing
