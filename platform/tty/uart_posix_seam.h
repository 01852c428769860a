// Fault-injection seams of the tty lower half: ptys have no modem lines, so tests
// can stand in for the UART's line register (TIOCMGET / TIOCMBIS / TIOCMBIC), its
// counters (TIOCGICOUNT) and the wait for a line change (TIOCMIWAIT); and the I/O
// thread's writes and waits can be made to fail as a lost device makes them.
#pragma once

#include <linux/serial.h>

#include <functional>

namespace veltra::platform {

struct TtyModemLines {
  // Each returns 0 or an errno value, as the ioctl would.
  std::function<int(int* tiocmBits)> get;
  std::function<int(int tiocmBits, bool on)> change;
  // The driver's counters (TIOCGICOUNT); unset: the real ioctl.
  std::function<int(serial_icounter_struct* counters)> counters;
  // Blocks until a line in tiocmMask changes, as TIOCMIWAIT does; must return EINTR
  // when a signal interrupts it. Unset: the real ioctl (a pty refuses it).
  std::function<int(int tiocmMask)> wait;
};

// Ports opened from now on use `lines` (null: the real ioctls). The object must
// outlive those ports.
void UseTtyModemLinesForTests(const TtyModemLines* lines);

// From now on every tty I/O thread's write() (writeErrno) or epoll_wait()
// (epollErrno) fails with that errno instead of being made; 0 makes them again.
// lateTakeMs: the I/O thread sleeps this long before each take of bytes to send,
// as on a machine too loaded to run it.
struct TtyIoFaults {
  int writeErrno = 0;
  int epollErrno = 0;
  int lateTakeMs = 0;
};
void InjectTtyIoFaultsForTests(TtyIoFaults faults);

}  // namespace veltra::platform
