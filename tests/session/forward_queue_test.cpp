#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/forward_queue.h"

namespace veltra::session {
namespace {

// A port that writes one block at a time, as the serial component does: a write
// finishes at once (its completion called from inside the send), goes pending until
// Finish, or fails at once without a completion. Like the component, it shows itself
// idle a moment before its completion notice arrives (FinishQuietly, then Notify).
struct FakePort {
  bool completesAtOnce = false;
  bool failsAtOnce = false;
  bool busy = false;
  int refused = 0;
  std::vector<std::string> written;
  TForwardQueue* queue = nullptr;

  void Send(const std::string& block) {
    if (busy) {
      ++refused;
      return;
    }
    if (failsAtOnce) {
      queue->WriteFailed();
      return;
    }
    written.push_back(block);
    if (completesAtOnce)
      queue->WriteDone();
    else
      busy = true;
  }
  void FinishQuietly() { busy = false; }
  void Notify() { queue->WriteDone(); }
  void Finish() {
    FinishQuietly();
    Notify();
  }
};

struct Fixture {
  FakePort port;
  TForwardQueue queue{[this] { return port.busy; }, [this](const std::string& b) { port.Send(b); }};
  Fixture() { port.queue = &queue; }
};

TEST(ForwardQueue, OverlappingBlocksWaitForThePreviousWriteInOrder) {
  Fixture f;
  f.queue.Push("one");
  f.queue.Push("two");
  f.queue.Push("three");
  EXPECT_EQ(f.port.written, std::vector<std::string>{"one"});
  EXPECT_EQ(f.queue.Waiting(), 2u);
  f.port.Finish();  // the two that waited go out as one write
  f.queue.Push("four");
  f.port.Finish();
  f.port.Finish();
  EXPECT_EQ(f.port.written, (std::vector<std::string>{"one", "twothree", "four"}));
  EXPECT_EQ(f.port.refused, 0);
  EXPECT_EQ(f.queue.Waiting(), 0u);
}

TEST(ForwardQueue, ImmediateCompletionsDrainInOrderWithinTheWriteLimit) {
  Fixture f;
  f.port.busy = true;  // another writer (the command sender) holds the port
  for (int i = 0; i < 10000; ++i) f.queue.Push(std::to_string(i));
  f.queue.Push(std::string(TForwardQueue::kMaxWrite, 'x'));  // too big to join: its own write
  f.queue.Push("end");
  EXPECT_TRUE(f.port.written.empty());
  f.port.completesAtOnce = true;
  f.port.Finish();
  std::string expected, written;
  for (int i = 0; i < 10000; ++i) expected += std::to_string(i);
  expected += std::string(TForwardQueue::kMaxWrite, 'x') + "end";
  for (const std::string& w : f.port.written) {
    EXPECT_LE(w.size(), TForwardQueue::kMaxWrite);
    written += w;
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(f.port.refused, 0);
}

TEST(ForwardQueue, WaitsForTheCompletionNoticeNotJustAnIdlePort) {
  Fixture f;
  f.queue.Push("one");
  f.port.FinishQuietly();
  f.queue.Push("two");  // the port looks idle, but "one" has not been reported done
  EXPECT_EQ(f.port.written, std::vector<std::string>{"one"});
  f.port.Notify();
  EXPECT_EQ(f.port.written, (std::vector<std::string>{"one", "two"}));
}

TEST(ForwardQueue, FailedWritesDoNotStallTheBlocksBehindThem) {
  Fixture f;
  f.port.failsAtOnce = true;  // e.g. the port is closed: each write is refused at once
  f.queue.Push("a");
  f.queue.Push("b");
  EXPECT_EQ(f.queue.Waiting(), 0u);
  f.port.failsAtOnce = false;
  f.queue.Push("c");
  EXPECT_EQ(f.port.written, std::vector<std::string>{"c"});
}

}  // namespace
}  // namespace veltra::session
