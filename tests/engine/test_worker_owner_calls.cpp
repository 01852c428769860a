// The owner-thread call queue: calls run on the owner's thread in the order the
// workers made them, the caller blocks until its call has run, and an exception
// comes back to the caller.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "engine/owner_calls.h"
#include "tests/platform/test_wait.h"

namespace veltra::engine {
namespace {

using namespace std::chrono_literals;

TEST(OwnerCalls, WorkersBlockUntilTheOwnerRanTheirCallsInOrder) {
  TOwnerCallQueue calls;
  std::atomic<int> queued{0};
  calls.OnCallQueued = [&queued] { ++queued; };
  const auto owner = std::this_thread::get_id();
  std::vector<int> order;  // touched on the owner's thread only
  std::atomic<int> returned{0};

  auto worker = [&](int first) {
    for (int i = first; i < first + 3; ++i) {
      calls.Synchronize([&, i] {
        EXPECT_EQ(std::this_thread::get_id(), owner);
        order.push_back(i);
      });
      ++returned;
    }
  };
  std::thread a(worker, 0);
  std::thread b(worker, 10);
  // Both have queued their first call; nobody served it yet, so both are blocked.
  EXPECT_TRUE(veltra::test::WaitUntil([&] { return queued == 2; }, 10s));
  EXPECT_EQ(returned, 0);
  EXPECT_TRUE(calls.PumpUntil([&] { return returned == 6; }, 10s));
  calls.PumpUntil([&] { return returned == 6; }, 60s);  // never leave a worker blocked
  a.join();
  b.join();
  EXPECT_EQ(queued, 6);
  // Each worker's calls keep their order; the two interleave.
  std::vector<int> fromA, fromB;
  for (int v : order) (v < 10 ? fromA : fromB).push_back(v);
  EXPECT_EQ(fromA, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(fromB, (std::vector<int>{10, 11, 12}));
}

TEST(OwnerCalls, ExceptionReturnsToTheWorkerAndOwnerCallsRunDirectly) {
  TOwnerCallQueue calls;
  bool direct = false;
  calls.Synchronize([&] { direct = true; });
  EXPECT_TRUE(direct);
  EXPECT_EQ(calls.ServePending(), 0);

  std::string caught;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    try {
      calls.Synchronize([] { throw std::runtime_error("from the handler"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    finished = true;
  });
  EXPECT_TRUE(calls.PumpUntil([&] { return finished.load(); }, 10s));
  worker.join();
  EXPECT_EQ(caught, "from the handler");
}

}  // namespace
}  // namespace veltra::engine
