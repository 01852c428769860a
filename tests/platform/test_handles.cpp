// Events, waits and the handle table: the ground every overlapped request stands on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/core/comm_api.h"

using namespace veltra::win;
using Clock = std::chrono::steady_clock;

namespace {

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(e, 0u);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, WaitAnyReportsLowestSignalledIndex) {
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE both[2] = {a, b};
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 75), WAIT_OBJECT_0 + 1);
  SetEvent(a);  // both signalled: the first wins, as the worker relies on
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 75), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(Events, TimeoutHonoursItsBoundAndASetWakesAWaiter) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 75), WAIT_TIMEOUT);
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 74);
  EXPECT_LT(waited, 5000) << "a loaded machine may run the waiter late, not seconds late";

  std::thread setter([e] {
    Sleep(30);  // most likely after the wait began; if not, the wait finds the event set
    SetEvent(e);
  });
  start = Clock::now();
  // Woken by the set, not by the time-out.
  EXPECT_EQ(WaitForSingleObject(e, 60000), WAIT_OBJECT_0);
  EXPECT_LT(ElapsedMs(start), 30000);
  setter.join();
  CloseHandle(e);
}

TEST(Events, ManyThreadsSettingAndWaitingStayConsistent) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(e, 5000) == WAIT_OBJECT_0) ++woken;
    });
  }
  Sleep(20);  // most likely all wait by now; a late waiter finds the event set
  SetEvent(e);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);  // a manual-reset event releases every waiter
  CloseHandle(e);
}

TEST(Handles, ClosedHandlesAreNeverReused) {
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(first));
  HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(first, second);
  EXPECT_FALSE(SetEvent(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(second);
}

TEST(Handles, NamedEventsAreRefused) {
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "x"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(Time, TickCountAdvancesWithSleep) {
  const DWORD before = GetTickCount();
  Sleep(50);
  const DWORD elapsed = GetTickCount() - before;  // unsigned difference survives the wrap
  EXPECT_GE(elapsed, 49u);
  EXPECT_LT(elapsed, 5000u) << "a loaded machine may wake the sleeper late, not seconds late";
}

TEST(CriticalSection, IsRecursiveLikeWindows) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  DeleteCriticalSection(&cs);
  SUCCEED();
}
