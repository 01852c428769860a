// Comm events and their dispatch order, the synthesised ring, and the worker's
// lifecycle against closing, destruction, Terminate and failing handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "engine/work_thread_seam.h"
#include "platform/core/sysinfo_seam.h"
#include "tests/platform/test_wait.h"
#include "worker_test_support.h"

namespace veltra::engine::workertest {
namespace {

// Index of the first entry equal to name, or -1.
int IndexOf(const std::vector<std::string>& v, const std::string& name, int from = 0) {
  for (int i = from; i < static_cast<int>(v.size()); ++i) {
    if (v[i] == name) return i;
  }
  return -1;
}

TEST(WorkerEvents, EventCharacterRaisesRxCharThenRxFlagThenCommEvent) {
  Rig rig;
  FarEnd far(rig.cable.far);
  rig.port->SetEventChar('\r');
  rig.log.Hook(*rig.port, &TSerialPort::OnRxCharEvent, "RxChar");
  rig.log.Hook(*rig.port, &TSerialPort::OnRxEventCharEvent, "RxEventChar");
  rig.log.HookCommEvent(*rig.port);
  ASSERT_TRUE(rig.Open());

  far.Write("\r");
  ASSERT_TRUE(rig.Pump(
      [&] {
        const int at = IndexOf(rig.log.events, "RxEventChar");
        return at >= 0 && IndexOf(rig.log.events, "CommEvent", at) >= 0;
      },
      5000ms));
  const int flag = IndexOf(rig.log.events, "RxEventChar");
  ASSERT_GE(flag, 1);
  EXPECT_EQ(rig.log.events[flag - 1], "RxChar");
  ASSERT_EQ(IndexOf(rig.log.events, "CommEvent", flag), flag + 1);
  bool sawBoth = false;
  for (Cardinal mask : rig.log.commEventMasks) {
    sawBoth |= (mask & (win::EV_RXCHAR | win::EV_RXFLAG)) == (win::EV_RXCHAR | win::EV_RXFLAG);
  }
  EXPECT_TRUE(sawBoth);
}

TEST(WorkerEvents, CtsChangeWithoutItsHandlerStillRaisesCommEvent) {
  Rig rig;
  FarEnd far(rig.cable.far);
  rig.log.HookCommEvent(*rig.port);
  ASSERT_TRUE(rig.Open());
  ASSERT_TRUE(rig.Pump([&] { return rig.port->CTSState(); }, 1000ms));

  far.SetRts(false);
  ASSERT_TRUE(rig.Pump(
      [&] {
        for (Cardinal mask : rig.log.commEventMasks) {
          if (mask & win::EV_CTS) return true;
        }
        return false;
      },
      2000ms));
  EXPECT_FALSE(rig.port->CTSState());
  EXPECT_NE(rig.port->ModemState() & win::MS_CTS_ON, win::MS_CTS_ON);
}

// RI pulsed at the component's end, with EV_RING masked off as a driver of the
// Windows 95 family would never report it. Returns the events seen.
std::vector<std::string> RingPulseEvents(std::uint32_t platformId) {
  platform::OverridePlatformIdForTests(platformId);
  Rig rig;
  platform::OverridePlatformIdForTests(std::nullopt);
  EXPECT_EQ(rig.port->PlatformID(), static_cast<Integer>(platformId));
  rig.log.Hook(*rig.port, &TSerialPort::OnRIEvent, "RI");
  rig.log.Hook(*rig.port, &TSerialPort::OnRingEvent, "Ring");
  rig.log.HookCommEvent(*rig.port);
  EXPECT_TRUE(rig.Open());
  win::SetCommMask(rig.port->ComHandle(), 0x01FF & ~win::EV_RING);
  rig.PumpFor(100ms);

  rig.cable.Near()->RingPulse(250);
  EXPECT_TRUE(rig.Pump([&] { return rig.log.Count("RI") >= 2; }, 5000ms));
  if (platformId == 1) {  // the synthesised ring follows the falling RI
    EXPECT_TRUE(rig.Pump(
        [&] {
          const int ring = IndexOf(rig.log.events, "Ring");
          return ring >= 0 && IndexOf(rig.log.events, "CommEvent", ring) >= 0;
        },
        5000ms));
  }
  rig.PumpFor(150ms);  // and nothing more: only passing time can show it
  EXPECT_FALSE(rig.port->RingState());
  return rig.log.events;
}

TEST(WorkerEvents, FallingRingIsSynthesisedOnPlatformOne) {
  const auto events = RingPulseEvents(1);
  const int riOff = IndexOf(events, "RI", IndexOf(events, "RI") + 1);
  ASSERT_GE(riOff, 0);
  ASSERT_EQ(static_cast<int>(events.size()), riOff + 3);
  EXPECT_EQ(events[riOff + 1], "Ring");
  EXPECT_EQ(events[riOff + 2], "CommEvent");
}

TEST(WorkerEvents, OtherPlatformsRaiseOnlyTheRiChange) {
  const auto events = RingPulseEvents(win::VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(events, (std::vector<std::string>{"RI", "RI"}));
}

TEST(WorkerLifecycle, OpeningWakesTheIdleWorkerAtOnce) {
  // A device already sending at a high rate would fill the queue within the normal
  // 200 ms sleep. Stretched to a minute, a worker that was not woken cannot pass
  // however slow the machine, and one that was is served long before.
  engine::OverrideIdleSleepForTests(60s);
  Rig rig;
  rig.PumpFor(20ms);  // the worker is (most likely) well into its idle sleep
  const auto start = Clock::now();
  rig.port->SetActive(true);
  EXPECT_TRUE(rig.Pump([&] { return rig.port->ThreadBusy(); }, 10s)) << MsSince(start) << " ms";
  engine::OverrideIdleSleepForTests(std::nullopt);
}

TEST(WorkerLifecycle, ClosingReleasesThePendingWaitWithoutAnEvent) {
  Rig rig;
  rig.log.HookCommEvent(*rig.port);
  rig.log.Hook(*rig.port, &TSerialPort::OnRxCharEvent, "RxChar");
  rig.log.HookReports(*rig.port);
  rig.port->SetErrorNoise(1);
  ASSERT_TRUE(rig.Open());
  rig.PumpFor(150ms);  // a WaitCommEvent is outstanding now
  rig.log.events.clear();

  // Released, the worker goes idle within the close; otherwise the close would wait
  // out its rounds and warn (report 104, "Warning ThreadIsRunning").
  rig.port->SetActive(false);
  EXPECT_FALSE(rig.port->ThreadBusy());
  rig.PumpFor(250ms);
  EXPECT_EQ(rig.log.events, std::vector<std::string>{});
}

// A close may refuse the wait the worker is just starting; that is the close, not
// a fault to report.
TEST(WorkerLifecycle, ClosingWhileEventsFlowReportsNoWaitError) {
  Rig rig;
  rig.log.HookReports(*rig.port);
  FarEnd far(rig.cable.far);
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    while (!stop) {
      far.Write("x");
      std::this_thread::sleep_for(50us);  // the device's pace, not a wait for anything
    }
  });
  for (int i = 0; i < 150 && !HasFailure(); ++i) {
    ASSERT_TRUE(rig.Open());
    rig.port->SetActive(false);
    rig.TakeAll();
  }
  stop = true;
  chatter.join();
  EXPECT_EQ(rig.log.ReportsAt(9907), 0);
}

TEST(WorkerLifecycle, CloseServesAWorkerBlockedInAHandlerCall) {
  Rig rig;
  FarEnd far(rig.cable.far);
  rig.log.Hook(*rig.port, &TSerialPort::OnRxCharEvent, "RxChar");
  rig.log.HookReports(*rig.port);
  ASSERT_TRUE(rig.Open());
  rig.PumpFor(100ms);

  const int before = rig.queuedCalls;
  far.Write("x");
  // Not pumping: the worker now sits in its call to this thread.
  ASSERT_TRUE(veltra::test::WaitUntil([&] { return rig.queuedCalls > before; }, 5s));
  rig.port->SetActive(false);
  // Served by the close, not waited out: that would end in report 104.
  EXPECT_EQ(rig.log.Count("RxChar"), 1);
  EXPECT_EQ(rig.log.ReportsAt(104), 0);
  EXPECT_FALSE(rig.port->ThreadBusy());
}

// A comm event and a cluster (whose cycle goes on to start the next event wait).
TEST(WorkerLifecycle, HandlerClosingThePortLeavesTheOldHandleAlone) {
  for (EventSlot slot : {&TSerialPort::OnRxCharEvent, &TSerialPort::OnRxClusterEvent}) {
    Rig rig;
    FarEnd far(rig.cable.far);
    rig.log.HookReports(*rig.port);
    (*rig.port).*slot = [&](TObject*) { rig.port->SetActive(false); };
    ASSERT_TRUE(rig.Open());
    rig.PumpFor(100ms);

    rig.port->SetReadRequest(true);
    far.Write("x");
    // The close inside the handler cannot wait the worker out (it waits for this
    // very handler), so it warns; afterwards the worker must not use the closed handle.
    ASSERT_TRUE(rig.Pump([&] { return !rig.port->Active(); }, 3000ms));
    ASSERT_TRUE(rig.Pump([&] { return !rig.port->ThreadBusy(); }, 2000ms));
    rig.PumpFor(300ms);
    for (const Report& r : rig.log.reports) {
      EXPECT_NE(r.code, win::ERROR_INVALID_HANDLE) << r.place << " " << r.msg;
    }
    EXPECT_EQ(rig.log.ReportsAt(104), 1);
  }
}

TEST(WorkerLifecycle, DestroyingAnOpenPortReportsNothing) {
  int reports = 0;
  {
    Rig rig;
    FarEnd far(rig.cable.far);
    rig.port->OnProcessError = [&reports](TObject*, Cardinal, Cardinal, const std::string&, Byte) {
      ++reports;
    };
    rig.port->OnRxCharEvent = [](TObject*) {};
    ASSERT_TRUE(rig.Open());
    reports = 0;  // the open's own progress messages
    const int before = rig.queuedCalls;
    far.Write("pending");
    // The worker has the bytes and is in its call to this thread.
    ASSERT_TRUE(veltra::test::WaitUntil([&] { return rig.queuedCalls > before; }, 5s));
    const auto start = Clock::now();
    rig.port.reset();
    // Waiting the worker out instead of serving it takes the close's and the
    // destructor's rounds, 25 sleeps of 75 ms (at least 1875 ms on any machine); a
    // served worker is gone within milliseconds.
    EXPECT_LT(MsSince(start), 1800);
  }
  EXPECT_EQ(reports, 0);
}

TEST(WorkerLifecycle, TerminateWaitsForTheClose) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  rig.port->WorkThread().Terminate();
  rig.PumpFor(400ms);
  EXPECT_FALSE(rig.port->WorkThread().Finished());
  EXPECT_TRUE(rig.port->ThreadBusy());

  rig.port->SetActive(false);
  EXPECT_TRUE(rig.Pump([&] { return rig.port->WorkThread().Finished(); }, 1000ms));
}

TEST(WorkerLifecycle, ThrowingHandlerEndsTheWorkerWithAReport) {
  Rig rig;
  FarEnd far(rig.cable.far);
  rig.log.HookReports(*rig.port);
  rig.port->OnRxCharEvent = [](TObject*) { throw std::runtime_error("handler broke"); };
  ASSERT_TRUE(rig.Open());

  far.Write("x");
  ASSERT_TRUE(rig.Pump([&] { return rig.port->WorkThread().Finished(); }, 2000ms));
  const Report* report = rig.log.FindReport(TWorkThread::kHandlerFaultPlace);
  ASSERT_NE(report, nullptr);
  EXPECT_NE(report->msg.find("handler broke"), std::string::npos);
  EXPECT_FALSE(rig.port->ThreadBusy());
  // Closing needs no worker.
  rig.log.reports.clear();
  rig.port->SetActive(false);
  EXPECT_EQ(rig.log.ReportsAt(104), 0);
}

}  // namespace
}  // namespace veltra::engine::workertest
