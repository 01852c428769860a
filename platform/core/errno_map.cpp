#include "platform/core/errno_map.h"

#include <cerrno>

namespace veltra::platform {
namespace {

struct ErrnoRow {
  int err;
  win::DWORD whileOpening;
  win::DWORD onOpenDevice;
};

// errno                          opening                     open device
// ENOENT ENOTDIR EISDIR ELOOP
//   ENAMETOOLONG                 2 FILE_NOT_FOUND            2
// ENODEV ENXIO                   2 FILE_NOT_FOUND            1167 DEVICE_NOT_CONNECTED
// EACCES EPERM                   5 ACCESS_DENIED             5
// EROFS                          19 WRITE_PROTECT            19
// ENOSPC EDQUOT                  112 DISK_FULL               112
// EBUSY (TIOCEXCL held)          5 ACCESS_DENIED             5
// EWOULDBLOCK (flock refused)    5 ACCESS_DENIED             5
// EINVAL ERANGE                  87 INVALID_PARAMETER        87
// EBADF                          6 INVALID_HANDLE            6
// EIO EPIPE ESHUTDOWN            1167 DEVICE_NOT_CONNECTED   1167
// ENOTTY EOPNOTSUPP ENOSYS       1 INVALID_FUNCTION          1  (what Windows gives for
//                                                               an IOCTL a driver lacks)
// ENOMEM ENOBUFS                 8 NOT_ENOUGH_MEMORY         8
// anything else                  31 GEN_FAILURE              31
// POLLHUP and a read of 0 bytes are not errno values; the tty code reports them
// as 1167 itself.
constexpr ErrnoRow kRows[] = {
    {ENOENT, win::ERROR_FILE_NOT_FOUND, win::ERROR_FILE_NOT_FOUND},
    {ENOTDIR, win::ERROR_FILE_NOT_FOUND, win::ERROR_FILE_NOT_FOUND},
    {EISDIR, win::ERROR_FILE_NOT_FOUND, win::ERROR_FILE_NOT_FOUND},
    {ELOOP, win::ERROR_FILE_NOT_FOUND, win::ERROR_FILE_NOT_FOUND},
    {ENAMETOOLONG, win::ERROR_FILE_NOT_FOUND, win::ERROR_FILE_NOT_FOUND},
    {ENODEV, win::ERROR_FILE_NOT_FOUND, win::ERROR_DEVICE_NOT_CONNECTED},
    {ENXIO, win::ERROR_FILE_NOT_FOUND, win::ERROR_DEVICE_NOT_CONNECTED},
    {EACCES, win::ERROR_ACCESS_DENIED, win::ERROR_ACCESS_DENIED},
    {EPERM, win::ERROR_ACCESS_DENIED, win::ERROR_ACCESS_DENIED},
    {EROFS, win::ERROR_WRITE_PROTECT, win::ERROR_WRITE_PROTECT},
    {ENOSPC, win::ERROR_DISK_FULL, win::ERROR_DISK_FULL},
    {EDQUOT, win::ERROR_DISK_FULL, win::ERROR_DISK_FULL},
    {EBUSY, win::ERROR_ACCESS_DENIED, win::ERROR_ACCESS_DENIED},
    {EWOULDBLOCK, win::ERROR_ACCESS_DENIED, win::ERROR_ACCESS_DENIED},
    {EINVAL, win::ERROR_INVALID_PARAMETER, win::ERROR_INVALID_PARAMETER},
    {ERANGE, win::ERROR_INVALID_PARAMETER, win::ERROR_INVALID_PARAMETER},
    {EBADF, win::ERROR_INVALID_HANDLE, win::ERROR_INVALID_HANDLE},
    {EIO, win::ERROR_DEVICE_NOT_CONNECTED, win::ERROR_DEVICE_NOT_CONNECTED},
    {EPIPE, win::ERROR_DEVICE_NOT_CONNECTED, win::ERROR_DEVICE_NOT_CONNECTED},
    {ESHUTDOWN, win::ERROR_DEVICE_NOT_CONNECTED, win::ERROR_DEVICE_NOT_CONNECTED},
    {ENOTTY, win::ERROR_INVALID_FUNCTION, win::ERROR_INVALID_FUNCTION},
    {EOPNOTSUPP, win::ERROR_INVALID_FUNCTION, win::ERROR_INVALID_FUNCTION},
    {ENOSYS, win::ERROR_INVALID_FUNCTION, win::ERROR_INVALID_FUNCTION},
    {ENOMEM, win::ERROR_NOT_ENOUGH_MEMORY, win::ERROR_NOT_ENOUGH_MEMORY},
    {ENOBUFS, win::ERROR_NOT_ENOUGH_MEMORY, win::ERROR_NOT_ENOUGH_MEMORY},
};

}  // namespace

win::DWORD Win32ErrorFromErrno(int err, ErrnoStage stage) {
  for (const ErrnoRow& row : kRows) {
    if (row.err == err) {
      return stage == ErrnoStage::kOpening ? row.whileOpening : row.onOpenDevice;
    }
  }
  return win::ERROR_GEN_FAILURE;
}

}  // namespace veltra::platform
