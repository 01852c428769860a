// The veltra-cli program itself, where signals and exit statuses matter: Ctrl-C and
// SIGTERM end a monitor cleanly with its summary; bad input and unopenable ports
// give their exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "tests/platform/test_posix_pty.h"
#include "tests/platform/test_wait.h"

namespace {

using namespace std::chrono_literals;
using veltra::test::Pty;
using veltra::test::WaitUntil;

// The program with its standard error in a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDERR_FILENO);
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, STDOUT_FILENO);
      args.insert(args.begin(), VELTRA_CLI_PATH);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    err_ = fds[0];
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~Program() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Status();
    }
    if (err_ >= 0) ::close(err_);
  }
  std::string Err() {
    char buffer[4096];
    for (ssize_t n; (n = ::read(err_, buffer, sizeof buffer)) > 0;) err_text_.append(buffer, n);
    return err_text_;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  // The exit status; -1 when it did not exit normally within the time.
  int Status(std::chrono::milliseconds within = 10000ms) {
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, within);
    reaped_ = ended;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  bool reaped_ = false;
  std::string err_text_;
};

TEST(CliProcess, InterruptAndTerminateEndAMonitorWithItsSummary) {
  for (const int sig : {SIGINT, SIGTERM}) {
    Pty device;
    Program monitor({"monitor", device.slave(), "--rto-extra", "20"});
    // The pty notice comes once the open has emptied the queues; bytes written before
    // that are (rightly) discarded, and the "at 110" line comes before the open.
    ASSERT_TRUE(WaitUntil(
        [&] { return monitor.Err().find("has no modem lines") != std::string::npos; }, 10000ms))
        << monitor.Err();
    device.Write("hello");
    ASSERT_TRUE(
        WaitUntil([&] { return monitor.Err().find("ComEvent") != std::string::npos; }, 10000ms))
        << monitor.Err();
    monitor.Signal(sig);
    EXPECT_EQ(monitor.Status(), 0) << "signal " << sig;
    const std::string err = monitor.Err();
    EXPECT_NE(err.find("Msg start deactivating Port"), std::string::npos) << err;
    EXPECT_NE(err.find(": 5 bytes in 1 block, 0 with line errors"), std::string::npos) << err;
  }
}

TEST(CliProcess, ExitStatusesOfBadInputAndOfAPortThatCannotBeOpened) {
  Program bad({"monitor", "X", "--stop", "3"});
  EXPECT_EQ(bad.Status(), 2);
  Program missing({"send", "/nonexistent/ttyX", "--text", "x"});
  EXPECT_EQ(missing.Status(), 1);
  EXPECT_NE(missing.Err().find("cannot open /nonexistent/ttyX"), std::string::npos);
}

}  // namespace
