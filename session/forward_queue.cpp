#include "session/forward_queue.h"

#include <utility>

namespace veltra::session {

TForwardQueue::TForwardQueue(std::function<bool()> busy,
                             std::function<void(const std::string&)> send)
    : busy_(std::move(busy)), send_(std::move(send)) {}

void TForwardQueue::Push(std::string block) {
  pending_.push_back(std::move(block));
  Pump();
}

void TForwardQueue::WriteDone() {
  inFlight_ = false;
  Pump();
}

void TForwardQueue::WriteFailed() {
  if (handingOver_) failed_ = true;
}

void TForwardQueue::Pump() {
  if (pumping_) return;
  pumping_ = true;
  while (!inFlight_ && !pending_.empty() && !busy_()) {
    // Blocks that waited go out together: one write per completion notice would
    // leave the line idle between blocks and fall behind a fast sender.
    std::string block = std::move(pending_.front());
    pending_.pop_front();
    while (!pending_.empty() && block.size() + pending_.front().size() <= kMaxWrite) {
      block += pending_.front();
      pending_.pop_front();
    }
    inFlight_ = true;
    failed_ = false;
    handingOver_ = true;
    send_(block);
    handingOver_ = false;
    if (failed_) inFlight_ = false;
  }
  pumping_ = false;
}

}  // namespace veltra::session
