// The node check before a tty is opened, and the texts of failed opens.
// /proc/tty/drivers maps every tty driver's major and minor range to its kind
// ("serial", "pty:slave", "console" for virtual consoles, "system" for /dev/tty,
// /dev/console and ptmx); sysfs is the fallback where /proc is not mounted.
#include "platform/tty/tty_node_posix.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace veltra::platform {
namespace {

struct TtyDriverRow {
  unsigned major = 0, minorLo = 0, minorHi = 0;
  std::string type;
};

std::vector<TtyDriverRow> TtyDrivers() {
  std::vector<TtyDriverRow> rows;
  std::ifstream in("/proc/tty/drivers");
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.size() < 5) continue;
    TtyDriverRow row;
    row.type = w[w.size() - 1];
    const std::string& range = w[w.size() - 2];
    row.major = static_cast<unsigned>(std::strtoul(w[w.size() - 3].c_str(), nullptr, 10));
    row.minorLo = static_cast<unsigned>(std::strtoul(range.c_str(), nullptr, 10));
    const auto dash = range.find('-');
    row.minorHi = dash == std::string::npos
                      ? row.minorLo
                      : static_cast<unsigned>(std::strtoul(range.c_str() + dash + 1, nullptr, 10));
    rows.push_back(row);
  }
  return rows;
}

// The driver kind of a character device: "serial", "pty:slave", ...; "tty" when
// only sysfs could tell it is a tty; "" when it is none.
std::string DriverType(dev_t rdev, bool* known) {
  const std::vector<TtyDriverRow> rows = TtyDrivers();
  *known = !rows.empty();
  for (const TtyDriverRow& row : rows) {
    if (major(rdev) == row.major && minor(rdev) >= row.minorLo && minor(rdev) <= row.minorHi)
      return row.type;
  }
  if (*known) return "";
  const std::string link = "/sys/dev/char/" + std::to_string(major(rdev)) + ":" +
                           std::to_string(minor(rdev)) + "/subsystem";
  char target[PATH_MAX] = {};
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  *known = n > 0;
  const std::string subsystem = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
  return subsystem.size() >= 4 && subsystem.compare(subsystem.size() - 4, 4, "/tty") == 0 ? "tty"
                                                                                           : "";
}

// The tty the kernel's console runs on ("ttyS0"), from sysfs.
bool IsKernelConsole(const std::string& path) {
  char resolved[PATH_MAX] = {};
  if (realpath(path.c_str(), resolved) == nullptr) return false;
  const std::string name = std::string(resolved).substr(std::string(resolved).rfind('/') + 1);
  std::ifstream active("/sys/class/tty/console/active");
  for (std::string console; active >> console;) {
    if (console == name && name.rfind("tty", 0) == 0 && name != "tty0") return true;
  }
  return false;
}

std::string ProcessName(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// The first other process with the device open, from its /proc/PID/fd links;
// empty when /proc does not tell (another user's processes are hidden).
std::string Holder(dev_t rdev) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return "";
  std::string holder;
  const std::string self = std::to_string(getpid());
  while (dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    DIR* fds = opendir(("/proc/" + pid + "/fd").c_str());
    if (fds == nullptr) continue;
    while (dirent* fd = readdir(fds)) {
      struct stat st {};
      const std::string link = "/proc/" + pid + "/fd/" + fd->d_name;
      if (stat(link.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
        holder = pid == self ? "this program (the other port)" : "PID " + pid + ", " + ProcessName(pid);
        break;
      }
    }
    closedir(fds);
    if (!holder.empty()) break;
  }
  closedir(proc);
  return holder;
}

int Refuse(int err, std::string* text, std::string why) {
  *text = std::move(why);
  return err;
}

}  // namespace

int CheckTtyNode(const std::string& path, TtyNodeKind* kind, std::string* text) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    const int err = errno;
    return Refuse(err, text, err == ENOENT || err == ENOTDIR ? NoSuchDeviceText(path)
                                                            : path + ": " + std::strerror(err));
  }
  if (S_ISDIR(st.st_mode)) return Refuse(EISDIR, text, path + " is not a serial port (a directory)");
  if (!S_ISCHR(st.st_mode)) return Refuse(ENOTTY, text, path + " is not a serial port (not a device)");
  bool known = false;
  const std::string type = DriverType(st.st_rdev, &known);
  if (!known) {
    *kind = TtyNodeKind::kUnknownTty;  // nothing tells: the open itself checks isatty
    return 0;
  }
  if (type.empty()) return Refuse(ENOTTY, text, path + " is not a serial port (a device of another kind)");
  if (type == "console" || type.rfind("system", 0) == 0 || type == "pty:master")
    return Refuse(ENOTTY, text, path + " is not a serial port (a console or terminal)");
  if (IsKernelConsole(path))
    return Refuse(EBUSY, text, path + " is the kernel's console and is left alone");
  *kind = type == "pty:slave" ? TtyNodeKind::kPty : TtyNodeKind::kSerial;
  return 0;
}

std::string PermissionDeniedText(const std::string& path) {
  struct stat st {};
  std::string name = "dialout";
  if (stat(path.c_str(), &st) == 0 && st.st_gid != 0) {
    struct group entry {};
    struct group* found = nullptr;
    char buffer[4096];
    if (getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
      name = found->gr_name;
  }
  return "Permission denied on " + path + ". Add your user to the group " + name +
         " (sudo usermod -aG " + name + " $USER), then log out and in again.";
}

std::string InUseText(const std::string& path) {
  struct stat st {};
  const std::string holder = stat(path.c_str(), &st) == 0 ? Holder(st.st_rdev) : "";
  return path + " is in use by another program" + (holder.empty() ? "" : " (" + holder + ")") + ".";
}

std::string NoSuchDeviceText(const std::string& path) {
  return "No such device: " + path + ".";
}

std::string TtyPathForName(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const std::string dev = "/dev/" + name;
  if (access(dev.c_str(), F_OK) == 0) return dev;
  for (const char* dir : {"/dev/serial/by-id/", "/dev/serial/by-path/"}) {
    const std::string link = dir + name;
    if (access(link.c_str(), F_OK) == 0) return link;
  }
  return dev;
}

}  // namespace veltra::platform
