// Runs calls from worker threads on the owner's thread (the GUI thread), as the GUI
// toolkit's synchronise queue does: the worker blocks until its call has returned.
// The window wakes its event loop from OnCallQueued and serves the queue there;
// tests serve it by pumping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace veltra::engine {

class TOwnerCallQueue {
 public:
  // The constructing thread becomes the owner.
  TOwnerCallQueue();
  ~TOwnerCallQueue();
  TOwnerCallQueue(const TOwnerCallQueue&) = delete;
  TOwnerCallQueue& operator=(const TOwnerCallQueue&) = delete;

  // Called (from the queuing thread) after a call was queued, so the owner can wake
  // its event loop. Set it before any worker runs.
  std::function<void()> OnCallQueued;

  // Runs fn on the owner's thread and blocks until it has returned; an exception fn
  // throws is thrown again here. On the owner's thread itself fn runs directly.
  void Synchronize(const std::function<void()>& fn);
  // As Synchronize, but the caller keeps working while it waits: whileWaiting runs
  // on the calling thread about every `interval` until fn has returned.
  void Synchronize(const std::function<void()>& fn, std::chrono::milliseconds interval,
                   const std::function<void()>& whileWaiting);
  // Queues fn to run on the owner's thread without waiting (termination notices).
  void Queue(std::function<void()> fn);

  // Owner's thread: runs every call queued so far, in queue order. Returns how many ran.
  int ServePending();
  // Owner's thread: serves calls until pred() holds or the time is up; returns pred().
  bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
  // Owner's thread: serves calls for the given time.
  void PumpFor(std::chrono::milliseconds duration);

  bool IsOwnerThread() const { return std::this_thread::get_id() == owner_; }

 private:
  struct Call;
  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Call>> calls_;
};

}  // namespace veltra::engine
