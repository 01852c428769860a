// Opening a tty by name: what is refused before anything is opened read-write, and
// the words each refusal carries.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/core/comm_api.h"
#include "platform/core/open_failure.h"
#include "platform/discovery/port_presence.h"
#include "tests/platform/test_posix_pty.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using namespace veltra::win;

// Fails the open and returns the Win32 code; the handle is closed if it opened.
DWORD OpenFails(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return ERROR_SUCCESS;
  }
  return GetLastError();
}

TEST(PosixOpen, FilesDirectoriesAndOtherDevicesAreRefusedUnopened) {
  const fs::path dir = fs::temp_directory_path() / ("veltra-open-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "watchdog") << "x";
  // inotify sees every open of the watched inodes, read-only ones included.
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  const struct {
    std::string path;
    DWORD code;
    std::string words;
  } cases[] = {
      {(dir / "watchdog").string(), ERROR_INVALID_FUNCTION, "is not a serial port (not a device)"},
      {dir.string(), ERROR_FILE_NOT_FOUND, "is not a serial port (a directory)"},
      {"/dev/null", ERROR_INVALID_FUNCTION, "is not a serial port (a device of another kind)"},
      {"/dev/tty", ERROR_INVALID_FUNCTION, "is not a serial port (a console or terminal)"},
  };
  for (const auto& c : cases) {
    ASSERT_GE(inotify_add_watch(watch, c.path.c_str(), IN_OPEN), 0) << c.path;
    EXPECT_EQ(OpenFails(c.path), c.code) << c.path;
    EXPECT_EQ(platform::LastOpenFailureText(), c.path + " " + c.words) << c.path;
    EXPECT_EQ(platform::PortNameProblem(c.path), c.path + " " + c.words);
  }
  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "something was opened";
  close(watch);
  fs::remove_all(dir);

  EXPECT_EQ(OpenFails("ttyVeltraNoSuchDevice"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform::LastOpenFailureText(), "No such device: /dev/ttyVeltraNoSuchDevice.");
  EXPECT_EQ(platform::PortNameProblem("rfc2217://host:4001"), "") << "network names pass";
}

TEST(PosixOpen, HeldPortNamesItsHolder) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const HANDLE first = CreateFileA(pty.slave().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(platform::LastOpenFailureText().empty());
  EXPECT_EQ(OpenFails(pty.slave()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform::LastOpenFailureText(),
            pty.slave() + " is in use by another program (this program (the other port)).");
  CloseHandle(first);
}

// As a user outside the device's group: the fix is named. Needs root to switch user.
TEST(PosixOpen, PermissionDeniedNamesTheDialoutFix) {
  const group* dialout = getgrnam("dialout");
  if (getuid() != 0 || dialout == nullptr) GTEST_SKIP() << "needs root and a dialout group";
  Pty pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(chown(pty.slave().c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(pty.slave().c_str(), 0660), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // nobody, with no supplementary groups
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const bool denied = OpenFails(pty.slave()) == ERROR_ACCESS_DENIED;
    const std::string text = platform::LastOpenFailureText();
    const std::string fix = "Permission denied on " + pty.slave() +
                            ". Add your user to the group dialout (sudo usermod -aG dialout "
                            "$USER), then log out and in again.";
    _exit(denied && text == fix ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace veltra::test
