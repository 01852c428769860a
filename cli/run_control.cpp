#include "cli/run_control.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace veltra::cli {

namespace {

std::atomic<TRunControl*> gSignalTarget{nullptr};

void OnStopSignal(int) {
  if (TRunControl* target = gSignalTarget.load()) target->RequestStop();
}

}  // namespace

TRunControl::TRunControl() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TRunControl::~TRunControl() {
  TRunControl* self = this;
  gSignalTarget.compare_exchange_strong(self, nullptr);
  if (fd_ >= 0) ::close(fd_);
}

void TRunControl::RequestStop() {
  stop_.store(true);
  Wake();
}

void TRunControl::Wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the loop; nothing else can go wrong here.
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void TRunControl::WaitForWake(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  ::poll(&p, 1, timeoutMs);
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
}

void TRunControl::StopOnSignals() {
  gSignalTarget.store(this);
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = SA_RESETHAND | SA_RESTART;
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace veltra::cli
