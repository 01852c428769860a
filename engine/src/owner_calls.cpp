// TOwnerCallQueue: one FIFO shared by every worker of an owner. A worker's call
// waits in the queue until the owner's thread serves it; the worker sleeps on the
// call's completion, so handlers run one at a time in the order they were raised.
#include "engine/owner_calls.h"

#include <utility>

namespace veltra::engine {

struct TOwnerCallQueue::Call {
  std::function<void()> fn;
  bool waited = false;  // a worker blocks on it (Synchronize), else fire and forget
  bool done = false;
  std::exception_ptr error;
};

TOwnerCallQueue::TOwnerCallQueue() : owner_(std::this_thread::get_id()) {}

// Workers are gone by now (every component using the queue was destroyed first);
// anything left is a fire-and-forget notice nobody waits for.
TOwnerCallQueue::~TOwnerCallQueue() = default;

void TOwnerCallQueue::Synchronize(const std::function<void()>& fn) {
  Synchronize(fn, std::chrono::milliseconds::max(), {});
}

void TOwnerCallQueue::Synchronize(const std::function<void()>& fn,
                                  std::chrono::milliseconds interval,
                                  const std::function<void()>& whileWaiting) {
  if (IsOwnerThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<Call>();
  call->fn = fn;
  call->waited = true;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
  }
  changed_.notify_all();
  if (OnCallQueued) OnCallQueued();
  std::exception_ptr error;
  {
    std::unique_lock lock(mutex_);
    auto done = [&] { return call->done; };
    if (!whileWaiting) {
      changed_.wait(lock, done);
    } else {
      while (!changed_.wait_for(lock, interval, done)) {
        lock.unlock();
        whileWaiting();
        lock.lock();
      }
    }
    // Taken out here, so the exception dies on this thread, not on the owner's.
    error = std::move(call->error);
  }
  if (error) std::rethrow_exception(error);
}

void TOwnerCallQueue::Queue(std::function<void()> fn) {
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  changed_.notify_all();
  if (OnCallQueued) OnCallQueued();
}

int TOwnerCallQueue::ServePending() {
  std::size_t budget;
  {
    std::lock_guard lock(mutex_);
    budget = calls_.size();
  }
  // Only what was queued on entry: a worker re-queuing at once must not keep the
  // owner in here forever.
  int served = 0;
  for (; budget > 0; --budget) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard lock(mutex_);
      if (calls_.empty()) break;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    ++served;
    if (!call->waited) {
      call->fn();  // an exception goes to the owner's loop, as the toolkit's would
      continue;
    }
    std::exception_ptr error;
    try {
      call->fn();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      call->error = std::move(error);
      call->done = true;
    }
    changed_.notify_all();
  }
  return served;
}

bool TOwnerCallQueue::PumpUntil(const std::function<bool()>& pred,
                                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Conditions may change without a queued call (a worker writing a flag), so the
  // predicate is looked at again every couple of milliseconds.
  constexpr auto kSlice = std::chrono::milliseconds(2);
  for (;;) {
    ServePending();
    if (pred()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, std::min(deadline, now + kSlice), [&] { return !calls_.empty(); });
  }
}

void TOwnerCallQueue::PumpFor(std::chrono::milliseconds duration) {
  PumpUntil([] { return false; }, duration);
}

}  // namespace veltra::engine
