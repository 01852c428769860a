// TRunControl on Windows: an auto-reset event wakes the owner loop; Ctrl-C, Ctrl-Break
// and closing the console window request a stop.
#include "cli/run_control.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace veltra::cli {

namespace {

std::atomic<TRunControl*> gSignalTarget{nullptr};

// Runs on a thread of its own that the system starts. A second Ctrl-C ends the
// process at once, as the POSIX handler does after resetting itself.
BOOL WINAPI OnConsoleControl(DWORD /*type*/) {
  TRunControl* target = gSignalTarget.exchange(nullptr);
  if (target == nullptr) return FALSE;
  target->RequestStop();
  return TRUE;
}

HANDLE EventOf(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

}  // namespace

// Kernel handles carry 32 significant bits, so the event fits the descriptor's place.
TRunControl::TRunControl()
    : fd_(static_cast<int>(reinterpret_cast<std::intptr_t>(::CreateEventA(nullptr, FALSE, FALSE,
                                                                          nullptr)))) {}

TRunControl::~TRunControl() {
  TRunControl* self = this;
  gSignalTarget.compare_exchange_strong(self, nullptr);
  if (fd_ != 0) ::CloseHandle(EventOf(fd_));
}

void TRunControl::RequestStop() {
  stop_.store(true);
  Wake();
}

void TRunControl::Wake() {
  ::SetEvent(EventOf(fd_));
}

void TRunControl::WaitForWake(int timeoutMs) {
  ::WaitForSingleObject(EventOf(fd_), static_cast<DWORD>(timeoutMs));
}

void TRunControl::StopOnSignals() {
  gSignalTarget.store(this);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

}  // namespace veltra::cli
