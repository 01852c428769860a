// What a /dev node is before anything opens it read-write: a serial tty, a pty, or
// something that must not be touched (a watchdog arms on open, a virtual console
// would be put into raw mode). And the words for a failed open.
#pragma once

#include <string>

namespace veltra::platform {

enum class TtyNodeKind { kSerial, kPty, kUnknownTty };

// 0 and the kind when `path` is a character device of a serial or pty driver;
// otherwise an errno value (ENOENT, EISDIR, ENOTTY, EBUSY for the kernel's console)
// with *text saying why, naming the path. Opens nothing.
int CheckTtyNode(const std::string& path, TtyNodeKind* kind, std::string* text);

// The texts of a failed open(2) or lock of a checked node.
std::string PermissionDeniedText(const std::string& path);
std::string InUseText(const std::string& path);
std::string NoSuchDeviceText(const std::string& path);

// The /dev path a port name stands for: a path as given; "ttyUSB0" as /dev/ttyUSB0;
// a bare by-id or by-path link name as its link when /dev/NAME does not exist.
std::string TtyPathForName(const std::string& name);

}  // namespace veltra::platform
