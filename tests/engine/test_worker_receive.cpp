// Cutting received bytes into clusters on a virtual cable: the quiet deadline, the
// size threshold, ReadRequest, line errors, and the queue's accessors.
#include <gtest/gtest.h>

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
  ASSERT_TRUE(rig.Pump([&] { return clock.firstAt >= 0; }, 2000ms));
  // 1 × 1100 / 1000 + 250 = 251.1 ms after the last poll that found the queue
  // empty; that poll came at most one 75 ms wait before the byte arrived, and the
  // cut comes within a couple of cycles after the deadline.
  EXPECT_GE(clock.firstAt, 251.1 - 75 - 2);
  EXPECT_LE(clock.firstAt, 251.1 + 2 * 75 + 150);
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
  // The quiet deadline for 3072 bytes would be 3629 ms away.
  EXPECT_LT(clock.firstAt, 1000);
  EXPECT_EQ(rig.TakeAll(), std::vector<std::string>{block});
}

TEST(WorkerReceive, ReadRequestOnAnEmptyQueueWaitsForTheNextByte) {
  Rig rig;
  FarEnd far(rig.cable.far);
  rig.port->SetXTOAuto(false);
  rig.port->SetRTOExtraDelayTime(3000);  // no quiet cut within the test
  ClusterClock clock;
  clock.Hook(*rig.port);
  ASSERT_TRUE(rig.Open());

  rig.port->SetReadRequest(true);
  rig.PumpFor(300ms);
  EXPECT_TRUE(rig.port->ReadRequest());
  EXPECT_EQ(rig.port->FirstClusterSize(), -1);

  clock.start = Clock::now();
  far.Write("B");
  ASSERT_TRUE(rig.Pump([&] { return clock.firstAt >= 0; }, 2000ms));
  EXPECT_LT(clock.firstAt, 1000);
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
  rig.port->SetRTOExtraDelayTime(3000);
  ClusterClock clock;
  clock.Hook(*rig.port);
  ASSERT_TRUE(rig.Open());

  rig.cable.Far()->CorruptNextBytes(1, win::CE_FRAME);
  clock.start = Clock::now();
  far.Write("D");
  ASSERT_TRUE(rig.Pump([&] { return clock.firstAt >= 0; }, 2000ms));
  EXPECT_LT(clock.firstAt, 1000);
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

}  // namespace
}  // namespace veltra::engine::workertest
