// Spy-mode forwarding to one port: blocks go out in arrival order, each once the port
// has finished the previous write. A port refuses a write while one is in flight, so
// handing blocks over as they arrive would lose every block that overlaps.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace veltra::logic {

class TForwardQueue {
 public:
  // `busy` tells whether the port still writes; `send` hands one block to it.
  TForwardQueue(std::function<bool()> busy, std::function<void(const std::string&)> send);

  // Queues a block and sends what the port can take now.
  void Push(std::string block);
  // The port finished a write (or may have): send the next block if it is free.
  void Pump();
  void Clear() { pending_.clear(); }
  std::size_t Waiting() const { return pending_.size(); }

 private:
  std::function<bool()> busy_;
  std::function<void(const std::string&)> send_;
  std::deque<std::string> pending_;
  bool pumping_ = false;  // a write that completes at once calls Pump from inside send_
};

}  // namespace veltra::logic
