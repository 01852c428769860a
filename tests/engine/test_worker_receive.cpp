// Cutting received bytes into clusters on a virtual cable: the quiet deadline, the
// size threshold, ReadRequest, line errors, and the queue's accessors.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/platform/test_wait.h"
#include "worker_test_support.h"

namespace veltra::engine::workertest {
namespace {

// Timestamp of the first OnRxClusterEvent, in ms after `start`.
struct ClusterClock {
  Clock::time_point start = Clock::now();
  double firstAt = -1;
  void Hook(TSerialPort& port) {
    port.OnRxClusterEvent = [this](TObject*) {
      if (firstAt < 0) firstAt = MsSince(start);
    };
  }
};

TEST(WorkerReceive, SingleByteWaitsForTheQuietDeadline) {
  Rig rig;
  FarEnd far(rig.cable.far);
  ClusterClock clock;
  clock.Hook(*rig.port);
  ASSERT_TRUE(rig.Open());
  rig.PumpFor(200ms);  // the worker has seen the queue empty

  clock.start = Clock::now();
  far.Write("A");
  ASSERT_TRUE(rig.Pump([&] { return clock.firstAt >= 0; }, 5000ms));
  // 1 × 1100 / 1000 + 250 = 251.1 ms after the last poll that found the queue
  // empty; that poll came at most one 75 ms wait before the byte arrived. The cut
  // comes a cycle or two after the deadline on an idle machine; the upper bound
  // only catches a cut that waits for something else (a busy machine may delay it).
  EXPECT_GE(clock.firstAt, 251.1 - 75 - 2);
  EXPECT_LT(clock.firstAt, 251.1 + 2500);
  EXPECT_EQ(rig.port->FirstClusterSize(), 1);
  EXPECT_EQ(rig.port->FirstClusterErrors(), 0);
  EXPECT_EQ(rig.TakeAll(), std::vector<std::string>{"A"});
}

TEST(WorkerReceive, ClusterSizeWaitingIsCutAtOnce) {
  Rig rig;
  FarEnd far(rig.cable.far);
  ClusterClock clock;
  clock.Hook(*rig.port);
  ASSERT_TRUE(rig.Open());

  const std::string block(3072, 'x');
  clock.start = Clock::now();
  far.Write(block);
  ASSERT_TRUE(rig.Pump([&] { return clock.firstAt >= 0; }, 5000ms));
  // The quiet deadline for 3072 bytes would be 3629 ms away (at least 3554 ms
  // after the write): well below it, the cut came from the size.
  EXPECT_LT(clock.firstAt, 3000);
  EXPECT_EQ(rig.TakeAll(), std::vector<std::string>{block});
}

TEST(WorkerReceive, ReadRequestOnAnEmptyQueueWaitsForTheNextByte) {
  Rig rig;
  FarEnd far(rig.cable.far);
  rig.port->SetXTOAuto(false);
  rig.port->SetRTOExtraDelayTime(20000);  // no quiet cut within the test
  ClusterClock clock;
  clock.Hook(*rig.port);
  ASSERT_TRUE(rig.Open());

  rig.port->SetReadRequest(true);
  rig.PumpFor(300ms);
  EXPECT_TRUE(rig.port->ReadRequest());
  EXPECT_EQ(rig.port->FirstClusterSize(), -1);

  clock.start = Clock::now();
  far.Write("B");
  ASSERT_TRUE(rig.Pump([&] { return clock.firstAt >= 0; }, 10000ms));
  EXPECT_LT(clock.firstAt, 10000) << "the quiet deadline is 20 s away";
  EXPECT_FALSE(rig.port->ReadRequest());

  // The request was used up: the next byte waits for the quiet deadline again.
  far.Write("C");
  rig.PumpFor(500ms);
  EXPECT_EQ(rig.TakeAll(), std::vector<std::string>{"B"});
}

TEST(WorkerReceive, LineErrorCutsAtOnceAndMarksOnlyItsCluster) {
  Rig rig;
  FarEnd far(rig.cable.far);
  rig.port->SetXTOAuto(false);
  rig.port->SetRTOExtraDelayTime(20000);  // no quiet cut within the test
  ClusterClock clock;
  clock.Hook(*rig.port);
  ASSERT_TRUE(rig.Open());

  rig.cable.Far()->CorruptNextBytes(1, win::CE_FRAME);
  clock.start = Clock::now();
  far.Write("D");
  ASSERT_TRUE(rig.Pump([&] { return clock.firstAt >= 0; }, 10000ms));
  EXPECT_LT(clock.firstAt, 10000) << "the quiet deadline is 20 s away";
  EXPECT_EQ(rig.port->FirstClusterSize(), 1);
  EXPECT_NE(rig.port->FirstClusterErrors() & static_cast<Integer>(win::CE_FRAME), 0);
  rig.TakeAll();

  // A clean byte afterwards carries no stale error.
  rig.port->SetReadRequest(true);
  far.Write("E");
  ASSERT_TRUE(rig.Pump([&] { return rig.port->FirstClusterSize() >= 0; }, 2000ms));
  EXPECT_EQ(rig.port->FirstClusterErrors(), 0);
}

TEST(WorkerReceive, QueueKeepsBytesAcrossCloseAndReportsEmptiness) {
  Rig rig;
  FarEnd far(rig.cable.far);
  std::string taken = "left over";
  EXPECT_EQ(rig.port->FirstClusterSize(), -1);
  EXPECT_EQ(rig.port->FirstClusterErrors(), -1);
  rig.port->TakeFirstCluster(taken);
  EXPECT_EQ(taken, "");

  ASSERT_TRUE(rig.Open());
  const std::string binary("\x00\xff\x7f\x80\x00", 5);
  rig.port->SetReadRequest(true);
  far.Write(binary);
  ASSERT_TRUE(rig.Pump([&] { return rig.port->FirstClusterSize() >= 0; }, 2000ms));
  rig.port->SetActive(false);
  rig.port->SetActive(true);
  EXPECT_EQ(rig.TakeAll(), std::vector<std::string>{binary});
}

TEST(WorkerReceive, QuietModeStillQueuesAndPolls) {
  Rig rig;
  FarEnd far(rig.cable.far);
  int raised = 0;
  for (EventSlot slot : {&TSerialPort::OnCommEvent, &TSerialPort::OnCommStat,
                         &TSerialPort::OnRxCharEvent, &TSerialPort::OnRxClusterEvent,
                         &TSerialPort::OnCTSEvent, &TSerialPort::OnTxQueueEmptyEvent}) {
    (*rig.port).*slot = [&raised](TObject*) { ++raised; };
  }
  rig.port->OnProcessError = [&raised](TObject*, Cardinal, Cardinal, const std::string&, Byte) {
    ++raised;
  };
  rig.port->SetThreadQuietMode(true);
  ASSERT_TRUE(rig.Open());
  raised = 0;  // opening reported its progress on this thread, not through the worker
  EXPECT_TRUE(rig.Pump([&] { return rig.port->CTSState(); }, 1000ms));

  rig.port->SetReadRequest(true);
  far.Write("quiet");
  far.SetRts(false);
  EXPECT_TRUE(rig.Pump([&] { return rig.port->FirstClusterSize() == 5; }, 2000ms));
  EXPECT_TRUE(rig.Pump([&] { return !rig.port->CTSState(); }, 1000ms));
  // A failing device reports through OnProcessError, which stays silent too.
  rig.cable.Near()->Unplug();
  rig.PumpFor(300ms);
  EXPECT_EQ(raised, 0);
}


// A busy owner's thread (a handler that takes a while) must not turn into bytes
// dropped by the driver: the worker goes on cutting clusters meanwhile and raises
// one event per cluster once the handler is back; how far behind is said once.
// Past RxBacklogLimit reading waits, and the driver's overrun shows as usual.
struct StalledOwner {
  Rig rig{false};  // paced at 92 KB/s: the driver's 16 KiB queue lasts 180 ms
  FarEnd far{rig.cable.far};
  std::string got;
  Integer errors = 0;
  int events = 0;
  std::atomic<bool> written{false};

  // The first handler takes `stall`, or, without one, until the whole stream is sent.
  explicit StalledOwner(std::optional<std::chrono::milliseconds> stall) {
    rig.port->SetBaudRate(921600);
    rig.port->SetRxQueueSize(16384);
    rig.port->SetClusterSize(1024);  // leaves the worker 160 ms to read a due cluster
    win::DCB dcb;
    win::GetCommState(far.Handle(), &dcb);
    dcb.BaudRate = 921600;
    win::SetCommState(far.Handle(), &dcb);
    rig.log.HookReports(*rig.port);
    rig.port->OnRxClusterEvent = [this, stall](TObject*) {
      if (events++ == 0) {  // the busy window
        if (stall) {
          std::this_thread::sleep_for(*stall);  // the report's one second is the point
        } else {
          veltra::test::WaitUntil([&] { return written.load(); }, 30s);
        }
      }
      errors |= rig.port->FirstClusterErrors();
      std::string cluster;
      rig.port->TakeFirstCluster(cluster);
      got += cluster;
    };
  }
  // Until everything came, or nothing more came for well past the quiet deadline.
  void Stream(const std::string& bytes) {
    EXPECT_TRUE(rig.Open());
    std::thread writer([&] {
      far.Write(bytes);
      written = true;
    });
    std::size_t seen = 0;
    auto grew = Clock::now();
    rig.Pump(
        [&] {
          if (got.size() != seen) seen = got.size(), grew = Clock::now();
          return got.size() >= bytes.size() || (written && MsSince(grew) > 600);
        },
        10s);
    writer.join();
    rig.PumpFor(100ms);  // nothing more may come
  }
};

TEST(WorkerReceive, BusyHandlerLosesNothingAndIsReportedOnce) {
  StalledOwner owner(1100ms);
  std::string sent(110000, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
  owner.Stream(sent);
  EXPECT_TRUE(owner.got == sent) << owner.got.size() << " of " << sent.size();
  EXPECT_EQ(owner.errors, 0);
  EXPECT_EQ(owner.rig.port->FirstClusterSize(), -1) << "one event per cluster";
  ASSERT_EQ(owner.rig.log.ReportsAt(TWorkThread::kBehindPlace), 1);
  const Report* behind = owner.rig.log.FindReport(TWorkThread::kBehindPlace);
  EXPECT_EQ(behind->noise, 1);
  // The code is the bytes waiting, as the text says: about 100 kB on an idle machine,
  // far fewer where a busy machine holds the line up.
  EXPECT_GT(behind->code, 0u);
  EXPECT_NE(behind->msg.find(" ms behind, " + std::to_string(behind->code) + " Bytes in "),
            std::string::npos)
      << behind->msg;
}

TEST(WorkerReceive, BacklogLimitHoldsReadingAndSaysSo) {
  // The handler holds on until all is sent: however slow the line, 60000 bytes
  // cannot fit in the 8 KiB backlog and the 16 KiB driver queue.
  StalledOwner owner(std::nullopt);
  owner.rig.port->SetRxBacklogLimit(8192);
  owner.Stream(std::string(60000, 'x'));
  EXPECT_LT(owner.got.size(), 60000u);
  EXPECT_NE(owner.errors & static_cast<Integer>(win::CE_RXOVER), 0);
  EXPECT_EQ(owner.rig.log.ReportsAt(TWorkThread::kBacklogFullPlace), 1);
}

}  // namespace
}  // namespace veltra::engine::workertest
