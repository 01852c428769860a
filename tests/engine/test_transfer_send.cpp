// Sending: immediate completion, a write held by flow control until its time-out,
// the refusal of a second send, the component's own copy of the bytes, and a
// device that vanishes mid-transfer.
#include <gtest/gtest.h>

#include "worker_test_support.h"

namespace veltra::engine::workertest {
namespace {

constexpr Integer kCtsFlow = 0x2004;  // fOutxCtsFlow with RTS handshake

// Reads from the far end until `count` bytes have come or the time is up.
std::string ReadFar(Rig& rig, FarEnd& far, std::size_t count, std::chrono::milliseconds timeout) {
  std::string got;
  rig.Pump(
      [&] {
        got += far.ReadAvailable();
        return got.size() >= count;
      },
      timeout);
  return got;
}

TEST(TransferSend, WriteFinishingAtOnceRaisesWriteDoneInsideSendEvenWhenQuiet) {
  Rig rig;
  FarEnd far(rig.cable.far);
  bool done = false;
  rig.port->OnWriteDone = [&](TObject*) { done = true; };
  rig.port->SetThreadQuietMode(true);
  ASSERT_TRUE(rig.Open());

  rig.port->SendString("hello");
  EXPECT_TRUE(done);
  EXPECT_FALSE(rig.port->SendInProgress());
  EXPECT_EQ(rig.port->WrittenBytes(), 5u);
  EXPECT_EQ(ReadFar(rig, far, 5, 1000ms), "hello");

  done = false;
  rig.port->SendString("");
  EXPECT_FALSE(done);

  // A write that fails shows none of the last one's bytes.
  rig.port->SetActive(false);
  rig.port->SendString("x");
  EXPECT_EQ(rig.port->WrittenBytes(), 0u);
}

TEST(TransferSend, WriteHeldByCtsEndsAtItsTimeOutShort) {
  Rig rig;
  FarEnd far(rig.cable.far);
  far.SetRts(false);
  rig.port->SetFlowControl(kCtsFlow);
  rig.port->SetXTOAuto(false);
  rig.port->SetWTOCharDelayTime(2000);
  rig.port->SetWTOExtraDelayTime(200);
  rig.log.HookReports(*rig.port);
  rig.log.Hook(*rig.port, &TSerialPort::OnWriteDone, "WriteDone");
  ASSERT_TRUE(rig.Open());
  ASSERT_TRUE(rig.Pump([&] { return !rig.port->CTSState(); }, 1000ms));

  const auto start = Clock::now();
  rig.port->SendString(std::string(100, 'h'));
  ASSERT_TRUE(rig.port->SendInProgress());
  ASSERT_TRUE(rig.Pump([&] { return rig.log.Count("WriteDone") > 0; }, 10000ms));
  // 100 × 2000 / 1000 + 200 ms, then a cycle or two to notice on an idle machine;
  // the upper bound leaves a busy one seconds and still catches a write held on.
  EXPECT_GE(MsSince(start), 400 - 2);
  EXPECT_LT(MsSince(start), 400 + 3000);
  EXPECT_LT(rig.port->WrittenBytes(), 100u);
  EXPECT_FALSE(rig.port->SendInProgress());
  const Report* timeout = rig.log.FindReport(9701);
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(timeout->msg, "Error write TimeOut");
  const auto reportAt = std::find(rig.log.events.begin(), rig.log.events.end(), "report 9701");
  const auto doneAt = std::find(rig.log.events.begin(), rig.log.events.end(), "WriteDone");
  EXPECT_LT(reportAt, doneAt);
  EXPECT_EQ(rig.log.Count("WriteDone"), 1);
}

TEST(TransferSend, SecondSendIsRefusedAndTheFirstKeepsItsOwnCopy) {
  Rig rig;
  FarEnd far(rig.cable.far);
  far.SetRts(false);
  rig.port->SetFlowControl(kCtsFlow);
  rig.port->SetWTOExtraDelayTime(5000);  // held, not timed out, during the test
  rig.log.HookReports(*rig.port);
  rig.log.Hook(*rig.port, &TSerialPort::OnWriteDone, "WriteDone");
  ASSERT_TRUE(rig.Open());
  ASSERT_TRUE(rig.Pump([&] { return !rig.port->CTSState(); }, 1000ms));

  {
    std::string temporary(64, 'a');
    rig.port->SendString(temporary);
    temporary.assign(64, 'z');  // the caller's text changes while the write is held
  }
  ASSERT_TRUE(rig.port->SendInProgress());
  rig.port->SetErrorNoise(1);
  rig.port->SendString("b");
  EXPECT_EQ(rig.log.ReportsAt(901), 0);
  rig.port->SetErrorNoise(2);
  rig.port->SendString("b");
  const Report* refusal = rig.log.FindReport(901);
  ASSERT_NE(refusal, nullptr);
  EXPECT_EQ(refusal->noise, 2);
  EXPECT_EQ(refusal->msg, "Msg, dont enter SendData while SendInProgress is set");

  far.SetRts(true);
  EXPECT_TRUE(rig.Pump([&] { return rig.log.Count("WriteDone") == 1; }, 3000ms));
  EXPECT_EQ(ReadFar(rig, far, 65, 500ms), std::string(64, 'a'));
  EXPECT_EQ(rig.port->WrittenBytes(), 64u);
  EXPECT_EQ(rig.log.ReportsAt(9701), 0);
}

TEST(TransferSend, SendingOnAClosedPortReportsInvalidHandle) {
  Rig rig;
  rig.log.HookReports(*rig.port);
  rig.log.Hook(*rig.port, &TSerialPort::OnWriteDone, "WriteDone");
  rig.port->SendString("x");
  ASSERT_EQ(rig.log.reports.size(), 2u);
  EXPECT_EQ(rig.log.reports[0].place, 902u);
  EXPECT_EQ(rig.log.reports[1].place, 903u);
  EXPECT_EQ(rig.log.reports[1].code, win::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(rig.port->SendInProgress());
  EXPECT_EQ(rig.log.Count("WriteDone"), 0);
}

TEST(TransferSend, UnplugMidTransferIsReportedAndClosingStillWorks) {
  Rig rig(/*instant=*/false);  // paced at 9600 baud: 1000 bytes take about a second
  FarEnd far(rig.cable.far);
  rig.log.HookReports(*rig.port);
  rig.log.Hook(*rig.port, &TSerialPort::OnWriteDone, "WriteDone");
  ASSERT_TRUE(rig.Open());

  rig.port->SendString(std::string(1000, 'u'));
  ASSERT_TRUE(rig.port->SendInProgress());
  rig.PumpFor(100ms);
  rig.cable.Near()->Unplug();
  ASSERT_TRUE(rig.Pump([&] { return rig.log.Count("WriteDone") == 1; }, 2000ms));
  EXPECT_LT(rig.port->WrittenBytes(), 1000u);
  bool sawVanished = false;
  for (const Report& r : rig.log.reports) sawVanished |= r.code == win::ERROR_DEVICE_NOT_CONNECTED;
  EXPECT_TRUE(sawVanished);

  // Said once: the port closes by itself and waits for the device, without a flood.
  ASSERT_TRUE(rig.Pump([&] { return rig.port->AwaitingReturn(); }, 2000ms));
  const std::size_t before = rig.log.reports.size();
  rig.PumpFor(300ms);
  EXPECT_EQ(rig.log.reports.size(), before);
  EXPECT_EQ(rig.log.ReportsAt(120), 1);

  rig.port->SetActive(false);
  EXPECT_FALSE(rig.port->Active());
  EXPECT_FALSE(rig.port->ThreadBusy());
  EXPECT_EQ(rig.log.ReportsAt(104), 0);
  EXPECT_EQ(rig.log.Count("WriteDone"), 1);
}

}  // namespace
}  // namespace veltra::engine::workertest
