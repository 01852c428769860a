// The receive side of the driver: events, line errors, character handling and
// modem-line events, driven from the far end of instant virtual pairs.
#include <atomic>
#include <thread>

#include "platform/driver/serial_driver.h"
#include "tests/platform/test_driver_support.h"

namespace veltra::test {
namespace {

// Waits for the next comm event on h and returns its mask (0 on time-out).
DWORD NextEvent(HANDLE h, DWORD ms = 2000) {
  Overlapped o;
  DWORD mask = 0;
  if (WaitCommEvent(h, &mask, &o.ov)) return mask;
  if (GetLastError() != ERROR_IO_PENDING || !o.Signalled(ms)) return 0;
  return mask;
}

DWORD TakeErrors(HANDLE h, COMSTAT* stat = nullptr) {
  COMSTAT local;
  DWORD errors = 0;
  EXPECT_TRUE(ClearCommError(h, &errors, stat != nullptr ? stat : &local));
  return errors;
}

void SetFlags(HANDLE h, DWORD flags, char evtChar = 0, char errorChar = 0, BYTE parity = 0) {
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.Flags = flags;
  dcb.EvtChar = evtChar;
  dcb.ErrorChar = errorChar;
  dcb.Parity = parity;
  ASSERT_TRUE(SetCommState(h, &dcb));
}

class DriverReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(a.ok() && b.ok());
    ImmediateReads(b.h());
    ASSERT_TRUE(SetCommMask(b.h(), 0x1FF & ~(EV_CTS | EV_DSR | EV_RLSD)));
  }
  Pair pair;
  Port a{pair.a}, b{pair.b};
};

TEST_F(DriverReceive, EventCharacterRaisesRxFlagAlongsideRxChar) {
  SetFlags(b.h(), DCB_fBinary, '\r');
  ASSERT_TRUE(Send(a.h(), "ab"));
  EXPECT_EQ(NextEvent(b.h()), EV_RXCHAR);
  ASSERT_TRUE(Send(a.h(), "c\r"));
  EXPECT_EQ(NextEvent(b.h()), EV_RXCHAR | EV_RXFLAG);
  EXPECT_EQ(ReadQueued(b.h()), "abc\r") << "the event character stays in the data";
}

TEST_F(DriverReceive, NullStrippingDropsOnlyNuls) {
  SetFlags(b.h(), DCB_fBinary | DCB_fNull);
  ASSERT_TRUE(Send(a.h(), std::string("a\0b\0\0c", 6)));
  EXPECT_EQ(ReadQueued(b.h()), "abc");
  SetFlags(b.h(), DCB_fBinary);
  ASSERT_TRUE(Send(a.h(), std::string("\0", 1)));
  EXPECT_EQ(ReadQueued(b.h()), std::string("\0", 1));
}

TEST_F(DriverReceive, ParityErrorsAreReportedAndReplacedWhenAsked) {
  auto control = platform::ControlVirtualEnd(pair.a);
  SetFlags(b.h(), DCB_fBinary | DCB_fParity);
  control->CorruptNextBytes(1, CE_RXPARITY);
  ASSERT_TRUE(Send(a.h(), "xy"));
  EXPECT_EQ(NextEvent(b.h()) & EV_ERR, EV_ERR);
  EXPECT_EQ(ReadQueued(b.h()), "xy") << "without fErrorChar the byte is kept";
  EXPECT_EQ(TakeErrors(b.h()), CE_RXPARITY);
  EXPECT_EQ(TakeErrors(b.h()), 0u) << "ClearCommError clears what it returned";

  SetFlags(b.h(), DCB_fBinary | DCB_fParity | DCB_fErrorChar, 0, '?');
  control->CorruptNextBytes(1, CE_RXPARITY);
  ASSERT_TRUE(Send(a.h(), "xy"));
  EXPECT_EQ(ReadQueued(b.h()), "?y");
  control->CorruptNextBytes(1, CE_FRAME);
  ASSERT_TRUE(Send(a.h(), "z"));
  EXPECT_EQ(ReadQueued(b.h()), "z") << "only parity errors are replaced";
  EXPECT_EQ(TakeErrors(b.h()), CE_RXPARITY | CE_FRAME);

  SetFlags(b.h(), DCB_fBinary | DCB_fErrorChar, 0, '?');
  control->CorruptNextBytes(1, CE_RXPARITY);
  ASSERT_TRUE(Send(a.h(), "w"));
  EXPECT_EQ(ReadQueued(b.h()), "w") << "replacement needs fParity too";
}

TEST_F(DriverReceive, FullQueueDropsBytesWithRxOver) {
  const std::string fits(4096, 'f');
  ASSERT_TRUE(Send(a.h(), fits + "XYZ"));
  COMSTAT stat;
  EXPECT_EQ(TakeErrors(b.h(), &stat), CE_RXOVER);
  EXPECT_EQ(stat.cbInQue, 4096u);
  ASSERT_TRUE(Send(a.h(), "lost"));
  // A smaller queue size is ignored, as Windows' driver does: nothing waiting is lost.
  ASSERT_TRUE(SetupComm(b.h(), 16, 16));
  EXPECT_EQ(TakeErrors(b.h(), &stat), CE_RXOVER);
  EXPECT_EQ(stat.cbInQue, 4096u);
  EXPECT_EQ(ReadQueued(b.h()), fits);
  ASSERT_TRUE(Send(a.h(), "after"));
  EXPECT_EQ(ReadQueued(b.h()), "after") << "room again once read";
}

TEST_F(DriverReceive, EightyPercentFullAndDsrSensitivity) {
  ASSERT_TRUE(SetCommMask(b.h(), EV_RXCHAR | 0x0400));
  ASSERT_TRUE(Send(a.h(), std::string(4096 * 8 / 10, '8')));
  EXPECT_EQ(NextEvent(b.h()), EV_RXCHAR);
  ASSERT_TRUE(Send(a.h(), "9"));
  EXPECT_EQ(NextEvent(b.h()), EV_RXCHAR | 0x0400u) << "EV_RX80FULL once past 80 %";
  ReadQueued(b.h());

  SetFlags(b.h(), DCB_fBinary | DCB_fDsrSensitivity | (DTR_CONTROL_ENABLE << 4));
  ASSERT_TRUE(EscapeCommFunction(a.h(), CLRDTR));
  ASSERT_TRUE(Send(a.h(), "lost"));
  ASSERT_TRUE(EscapeCommFunction(a.h(), SETDTR));
  ASSERT_TRUE(Send(a.h(), "kept"));
  EXPECT_EQ(ReadQueued(b.h()), "kept") << "bytes are ignored while DSR is low";
}

TEST_F(DriverReceive, BreakGivesEventErrorAndANulByte) {
  ASSERT_TRUE(SetCommBreak(a.h()));
  EXPECT_EQ(NextEvent(b.h()) & EV_BREAK, EV_BREAK);
  EXPECT_EQ(TakeErrors(b.h()) & CE_BREAK, CE_BREAK);
  EXPECT_EQ(ReadQueued(b.h()), std::string("\0", 1));
  DWORD n = 0;
  Overlapped o;
  EXPECT_FALSE(WriteFile(a.h(), "x", 1, &n, &o.ov)) << "no transmission during a break";
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(ClearCommBreak(a.h()));
  EXPECT_TRUE(o.Signalled(1000));
  EXPECT_EQ(Receive(b.h(), 1), "x");
}

TEST_F(DriverReceive, PurgeRxClearEmptiesTheQueue) {
  ASSERT_TRUE(Send(a.h(), "stale"));
  ASSERT_TRUE(PurgeComm(b.h(), PURGE_RXCLEAR));
  EXPECT_EQ(InQueue(b.h()), 0u);
  ASSERT_TRUE(Send(a.h(), "fresh"));
  EXPECT_EQ(ReadQueued(b.h()), "fresh");
}

TEST_F(DriverReceive, ModemLineChangesRaiseTheirEvents) {
  ASSERT_TRUE(SetCommMask(b.h(), EV_CTS | EV_DSR | EV_RLSD | EV_RING));
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(b.h(), &modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON) << "the peer raised DTR and RTS on open";
  ASSERT_TRUE(EscapeCommFunction(a.h(), CLRRTS));
  EXPECT_EQ(NextEvent(b.h()), EV_CTS);
  ASSERT_TRUE(EscapeCommFunction(a.h(), CLRDTR));
  EXPECT_EQ(NextEvent(b.h()), EV_DSR | EV_RLSD);
  ASSERT_TRUE(GetCommModemStatus(b.h(), &modem));
  EXPECT_EQ(modem, 0u);

  auto control = platform::ControlVirtualEnd(pair.b);
  control->ForceDcd(true);
  EXPECT_EQ(NextEvent(b.h()), EV_RLSD);
  ASSERT_TRUE(GetCommModemStatus(b.h(), &modem));
  EXPECT_EQ(modem, MS_RLSD_ON);
  control->ClearForcedDcd();
  EXPECT_EQ(NextEvent(b.h()), EV_RLSD);
}

TEST_F(DriverReceive, RingEventComesOnTheTrailingEdge) {
  ASSERT_TRUE(SetCommMask(b.h(), EV_RING));
  Overlapped o;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(b.h(), &mask, &o.ov));
  platform::ControlVirtualEnd(pair.b)->RingPulse(60);
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(b.h(), &modem));
  EXPECT_EQ(modem & MS_RING_ON, MS_RING_ON);
  EXPECT_FALSE(o.Signalled(20)) << "not on the leading edge";
  ASSERT_TRUE(o.Signalled(2000));
  EXPECT_EQ(mask, EV_RING);
  ASSERT_TRUE(GetCommModemStatus(b.h(), &modem));
  EXPECT_EQ(modem & MS_RING_ON, 0u);
}

TEST_F(DriverReceive, TransmitQueueEmptyAfterAWrite) {
  ASSERT_TRUE(SetCommMask(a.h(), EV_TXEMPTY));
  ASSERT_TRUE(Send(a.h(), "out"));
  EXPECT_EQ(NextEvent(a.h()), EV_TXEMPTY);
}

TEST_F(DriverReceive, AbortOnErrorFailsReadsUntilTheErrorIsCleared) {
  SetFlags(b.h(), DCB_fBinary | DCB_fParity | DCB_fAbortOnError);
  COMMTIMEOUTS waitForever{};
  ASSERT_TRUE(SetCommTimeouts(b.h(), &waitForever));
  Overlapped o;
  char buf[8];
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(b.h(), buf, sizeof buf, &n, &o.ov));
  platform::ControlVirtualEnd(pair.a)->CorruptNextBytes(1, CE_FRAME);
  ASSERT_TRUE(Send(a.h(), "e"));
  EXPECT_FALSE(GetOverlappedResult(b.h(), &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  ImmediateReads(b.h());
  EXPECT_FALSE(ReadFile(b.h(), buf, sizeof buf, &n, &o.ov));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(TakeErrors(b.h()), CE_FRAME);
  EXPECT_EQ(ReadQueued(b.h()), "e") << "the byte waited in the queue";
}


// A virtual lower half whose resumes take a while to return, as when the driver's
// service thread is preempted right after resuming the line.
class SlowResumeUart final : public platform::Uart {
 public:
  explicit SlowResumeUart(std::unique_ptr<platform::Uart> inner) : inner_(std::move(inner)) {}
  void Start(platform::UartSink& sink) override { inner_->Start(sink); }
  void Stop() override { inner_->Stop(); }
  DWORD Configure(const DCB& dcb) override { return inner_->Configure(dcb); }
  DWORD SetRts(bool on) override { return inner_->SetRts(on); }
  DWORD SetDtr(bool on) override { return inner_->SetDtr(on); }
  DWORD SetBreak(bool on) override { return inner_->SetBreak(on); }
  DWORD GetModemStatus(DWORD* status) override { return inner_->GetModemStatus(status); }
  void TransmitReady() override { inner_->TransmitReady(); }
  DWORD OutputPending() override { return inner_->OutputPending(); }
  DWORD HoldFlags() override { return inner_->HoldFlags(); }
  void PurgeTransmit() override { inner_->PurgeTransmit(); }
  void PurgeReceive() override { inner_->PurgeReceive(); }
  bool AcceptsCallsFromSink() const override { return inner_->AcceptsCallsFromSink(); }
  void PauseReceive(bool paused) override {
    inner_->PauseReceive(paused);
    if (!paused) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the slowness itself
  }

 private:
  std::unique_ptr<platform::Uart> inner_;
};

TEST(DriverInputFlow, HandshakeHoldsAnInstantSenderWhileAResumeIsStillReturning) {
  Pair pair;
  DWORD error = 0;
  auto inner = platform::OpenVirtualUart(pair.b, &error);
  ASSERT_TRUE(inner) << error;
  platform::SerialDriver rx(std::make_unique<SlowResumeUart>(std::move(inner)));
  ASSERT_EQ(rx.Open(), ERROR_SUCCESS);
  ASSERT_EQ(rx.SetupComm(4096, 4096), ERROR_SUCCESS);
  DCB dcb;
  rx.GetCommState(&dcb);
  dcb.Flags = DCB_fBinary | (RTS_CONTROL_HANDSHAKE << 12);
  dcb.XonLim = dcb.XoffLim = 1024;
  ASSERT_EQ(rx.SetCommState(dcb), ERROR_SUCCESS);
  COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
  rx.SetCommTimeouts(immediate);

  Port tx(pair.a);
  SetLine(tx.h(), 9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow);
  std::string sent(32768, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    for (std::size_t at = 0; at < sent.size(); at += 4096) Send(tx.h(), sent.substr(at, 4096));
    written = true;
  });
  std::string got;
  DWORD errors = 0;
  WaitUntil(
      [&] {
        // A slow reader (the pace is the test): the sender fills the queue to its
        // limit between two reads.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const bool last = written;  // an overrun sender finishes; what it left is read once more
        char chunk[8192];
        OVERLAPPED ov{};
        DWORD n = 0;
        if (rx.ReadFile(chunk, sizeof chunk, &n, &ov) == ERROR_SUCCESS) got.append(chunk, n);
        DWORD e = 0;
        rx.ClearCommError(&e, nullptr);
        errors |= e;
        return got.size() >= sent.size() || (last && n == 0);
      },
      std::chrono::milliseconds(10000));
  writer.join();
  EXPECT_EQ(errors, 0u) << "CE_RXOVER: the sender was not held";
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
  rx.Close();
}

}  // namespace
}  // namespace veltra::test
