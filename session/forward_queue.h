// Spy-mode forwarding to one port: blocks go out in arrival order, once the port has
// finished the previous write; blocks that waited meanwhile go out as one write. A port refuses a
// write while one is in flight, so handing blocks over as they arrive would lose every block that
// overlaps.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace veltra::session {

// The port's completion notice can arrive after the port already looks idle, so a
// block counts as in flight from its hand-over until WriteDone (or WriteFailed while
// it is handed over: a refused write gets no completion).
class TForwardQueue {
 public:
  // `busy` tells whether the port writes something of another sender; `send` hands
  // one block to the port.
  TForwardQueue(std::function<bool()> busy, std::function<void(const std::string&)> send);

  // Queues a block and sends what the port can take now.
  void Push(std::string block);
  // The port finished a write: the next block may go.
  void WriteDone();
  // The port refused or failed the write being handed over.
  void WriteFailed();
  // Sends the next block if the port is free.
  void Pump();
  void Clear() { pending_.clear(); }
  std::size_t Waiting() const { return pending_.size(); }

  // Waiting blocks are joined into writes of at most this many bytes.
  static constexpr std::size_t kMaxWrite = 65536;

 private:
  std::function<bool()> busy_;
  std::function<void(const std::string&)> send_;
  std::deque<std::string> pending_;
  bool inFlight_ = false;
  bool handingOver_ = false;
  bool failed_ = false;
  bool pumping_ = false;  // a write that completes at once calls WriteDone from inside send_
};

}  // namespace veltra::session
