// The modem-line waiter: its thread, the signal that cuts a blocked wait short, and
// the look into /proc that tells whether the thread is asleep in its wait.
#include "platform/tty/modem_waiter_posix.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/core/thread_name.h"

namespace veltra::platform {
namespace {

// Stop sends the signal again at this pace until the thread has ended.
constexpr auto kStopResend = std::chrono::milliseconds(5);
// Without /proc, a wait that has lasted this long is taken as begun.
constexpr auto kArmGrace = std::chrono::milliseconds(20);

// A blocked ioctl ends only for a signal. A real-time one: the system never sends
// it unasked, and neither glibc (its own lie below SIGRTMIN) nor Qt uses it.
int WakeSignal() {
  return SIGRTMIN + 3;
}

void IgnoreWake(int) {}

// Without SA_RESTART, so that the interrupted wait returns EINTR instead of going on.
void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = IgnoreWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(WakeSignal(), &action, nullptr);
  });
}

// The state letter of /proc/.../stat ("tid (name) S ..."; the name may hold a ')').
char RunState(int statFd) {
  char text[64];
  const ssize_t n = pread(statFd, text, sizeof text - 1, 0);
  if (n <= 0) return '?';
  text[n] = '\0';
  const char* nameEnd = std::strrchr(text, ')');
  return nameEnd != nullptr && nameEnd[1] == ' ' ? nameEnd[2] : '?';
}

}  // namespace

ModemLineWaiter::ModemLineWaiter(WaitFn wait, NotifyFn notify)
    : wait_(std::move(wait)), notify_(std::move(notify)) {
  InstallWakeHandler();
  thread_ = std::thread([this] { Run(); });
}

ModemLineWaiter::~ModemLineWaiter() {
  Stop();
  const int fd = statFd_.exchange(-1);
  if (fd >= 0) close(fd);
}

void ModemLineWaiter::Stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  // A signal that lands just before the wait begins is lost; the next one is not.
  std::unique_lock lock(doneMutex_);
  while (!done_) {
    pthread_kill(thread_.native_handle(), WakeSignal());
    doneWake_.wait_for(lock, kStopResend);
  }
  lock.unlock();
  thread_.join();
}

void ModemLineWaiter::Run() {
  NameCurrentThread("veltra-tty-lines");
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  statFd_.store(open("/proc/thread-self/stat", O_RDONLY | O_CLOEXEC));
  int endError = 0;
  for (;;) {
    waits_.fetch_add(1);  // odd from here until the wait has returned
    if (stopping_.load()) break;
    const int err = wait_();
    waits_.fetch_add(1);
    if (stopping_.load()) break;
    if (err != 0 && err != EINTR) {
      endError = err;
      break;
    }
    // Any other signal that cut the wait short may hide a change: looked at too.
    moved_.store(true);
    notify_(0);
  }
  ended_.store(true);
  if (endError != 0) notify_(endError);
  {
    std::lock_guard lock(doneMutex_);
    done_ = true;
  }
  doneWake_.notify_all();
}

bool ModemLineWaiter::Armed() {
  const std::uint64_t waits = waits_.load();
  if (waits % 2 == 0 || ended_.load()) return false;
  if (const int fd = statFd_.load(); fd >= 0) {
    const char state = RunState(fd);
    // Between the count and the wait the thread never sleeps; asleep means waiting.
    if (state != '?') return state == 'S';
  }
  const auto now = std::chrono::steady_clock::now();
  if (waits != graceWait_) {
    graceWait_ = waits;
    graceStart_ = now;
    return false;
  }
  return now - graceStart_ >= kArmGrace;
}

}  // namespace veltra::platform
