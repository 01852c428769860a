// The script thread as the owner of its ports: the workers' events run here while
// the script waits in expect, sleep or send, and a stop from any thread ends every
// wait at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "engine/owner_calls.h"

namespace veltra::script {

using Clock = std::chrono::steady_clock;

class TScriptOwner {
 public:
  // The constructing thread becomes the owner of Calls.
  TScriptOwner();
  ~TScriptOwner();
  TScriptOwner(const TScriptOwner&) = delete;
  TScriptOwner& operator=(const TScriptOwner&) = delete;

  engine::TOwnerCallQueue Calls;

  // Any thread. The first reason given is kept.
  void RequestStop(const std::string& reason);
  bool StopRequested() const { return stop_.load(std::memory_order_relaxed); }
  std::string StopReason() const;

  enum class TEnd { Done, Stopped, TimedOut };
  // Owner's thread: serves the workers' calls until done() holds, a stop is
  // requested or the deadline passes; asleep in between.
  TEnd WaitUntil(const std::function<bool()>& done, Clock::time_point deadline);

 private:
  void Wake();

  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  std::string reason_;
};

}  // namespace veltra::script
