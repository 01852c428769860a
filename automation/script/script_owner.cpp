#include "automation/script/script_owner.h"

namespace veltra::script {

TScriptOwner::TScriptOwner() {
  Calls.OnCallQueued = [this] { Wake(); };
}

TScriptOwner::~TScriptOwner() {
  Calls.OnCallQueued = nullptr;
}

void TScriptOwner::RequestStop(const std::string& reason) {
  {
    std::lock_guard lock(mutex_);
    if (reason_.empty()) reason_ = reason;
  }
  stop_ = true;
  Wake();
}

std::string TScriptOwner::StopReason() const {
  std::lock_guard lock(mutex_);
  return reason_;
}

void TScriptOwner::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

TScriptOwner::TEnd TScriptOwner::WaitUntil(const std::function<bool()>& done,
                                           Clock::time_point deadline) {
  for (;;) {
    Calls.ServePending();
    if (done()) return TEnd::Done;
    if (StopRequested()) return TEnd::Stopped;
    if (Clock::now() >= deadline) return TEnd::TimedOut;
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return woken_; });
    woken_ = false;
  }
}

}  // namespace veltra::script
