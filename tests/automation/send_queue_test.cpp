// The send queue: one write at a time, each wait counted from the end of the write
// before it, answers and sequences in the order they came.
#include "automation/send_queue.h"

#include <gtest/gtest.h>

namespace veltra::automation {
namespace {

using namespace std::chrono_literals;
using Clock = TSendQueue::Clock;

TEST(SendQueue, OneWriteAtATimeAndWaitsFromTheEndOfTheLast) {
  TSendQueue q;
  const Clock::time_point t0{};
  q.Push({{0ms, "A"}, {100ms, "B"}}, t0);
  q.Push({{0ms, "C"}}, t0 + 1ms);
  EXPECT_EQ(q.Take(t0), "A");
  EXPECT_EQ(q.Take(t0 + 1s), std::nullopt);  // A is in flight
  EXPECT_EQ(q.NextDue(), std::nullopt);
  q.WriteDone(t0 + 30ms);
  EXPECT_EQ(q.NextDue(), t0 + 130ms);
  EXPECT_EQ(q.Take(t0 + 129ms), std::nullopt);
  EXPECT_EQ(q.Take(t0 + 130ms), "B");
  q.WriteDone(t0 + 140ms);
  EXPECT_EQ(q.Take(t0 + 140ms), "C");
  q.WriteDone(t0 + 150ms);
  EXPECT_TRUE(q.Idle());
  // Idle, a new sequence's first wait counts from when it is pushed.
  q.Push({{50ms, "D"}}, t0 + 10s);
  EXPECT_EQ(q.NextDue(), t0 + 10s + 50ms);
}

}  // namespace
}  // namespace veltra::automation
