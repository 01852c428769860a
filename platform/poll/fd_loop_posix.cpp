#include "platform/poll/fd_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace veltra::platform {

static_assert(kWaitIn == EPOLLIN && kWaitOut == EPOLLOUT && kWaitErr == EPOLLERR &&
              kWaitHup == EPOLLHUP && kWaitRdHup == EPOLLRDHUP);

std::unique_ptr<FdLoop> FdLoop::Create(std::intptr_t fd, int* err) {
  *err = 0;
  const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int epollFd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wakeFd;
  if (wakeFd < 0 || epollFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0) {
    *err = errno;
    if (wakeFd >= 0) close(wakeFd);
    if (epollFd >= 0) close(epollFd);
    return nullptr;
  }
  return std::unique_ptr<FdLoop>(new FdLoop(fd, epollFd, wakeFd));
}

FdLoop::~FdLoop() {
  close(static_cast<int>(wakeFd_));
  close(static_cast<int>(waitFd_));
}

void FdLoop::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(static_cast<int>(wakeFd_), &one, sizeof one);
}

void FdLoop::Watch(std::uint32_t events) {
  if (forgotten_ || events == watched_) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = static_cast<int>(fd_);
  if (epoll_ctl(static_cast<int>(waitFd_), EPOLL_CTL_MOD, static_cast<int>(fd_), &ev) != 0)
    epoll_ctl(static_cast<int>(waitFd_), EPOLL_CTL_ADD, static_cast<int>(fd_), &ev);
  watched_ = events;
}

void FdLoop::Forget() {
  if (forgotten_) return;
  epoll_event ev{};
  epoll_ctl(static_cast<int>(waitFd_), EPOLL_CTL_DEL, static_cast<int>(fd_), &ev);
  forgotten_ = true;
  watched_ = 0;
}

int FdLoop::Wait(int timeoutMs, Ready* ready) {
  *ready = {};
  epoll_event events[2];
  const int n = epoll_wait(static_cast<int>(waitFd_), events, 2, timeoutMs);
  for (int i = 0; i < n; ++i) {
    if (events[i].data.fd == static_cast<int>(wakeFd_)) {
      ready->woken = true;
      DrainWakeups();
    } else {
      ready->events = events[i].events;
    }
  }
  return n;
}

void FdLoop::DrainWakeups() {
  std::uint64_t count = 0;
  while (read(static_cast<int>(wakeFd_), &count, sizeof count) > 0) {
  }
}

}  // namespace veltra::platform
