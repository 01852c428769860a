#include "session/session_thread.h"

#include "platform/core/thread_name.h"

namespace veltra::session {

TSessionThread::TSessionThread(std::string name)
    : thread_([this, name = std::move(name)]() mutable { Loop(std::move(name)); }) {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return ready_; });
}

TSessionThread::~TSessionThread() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TSessionThread::Loop(std::string name) {
  platform::NameCurrentThread(name.c_str());
  // The queue's owner is the thread that constructs it.
  calls_ = std::make_unique<engine::TOwnerCallQueue>();
  calls_->OnCallQueued = [this] {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    wake_.notify_all();
  };
  {
    std::lock_guard lock(mutex_);
    ready_ = true;
  }
  wake_.notify_all();
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return woken_ || stop_; });
      if (stop_ && !woken_) break;
      woken_ = false;
    }
    calls_->ServePending();
  }
  calls_->ServePending();
}

}  // namespace veltra::session
