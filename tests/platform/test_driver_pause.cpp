// Input flow control between the driver and a lower half that takes its pause
// from inside its own receive callbacks, as the tty lower half does: the pause
// must be in force before the callback that passed XoffLim returns, even while
// the service thread is busy applying the previous resume.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/src/serial_driver.h"
#include "tests/platform/test_driver_support.h"

namespace veltra::test {
namespace {

using platform::SerialDriver;
using platform::Uart;
using platform::UartSink;

// What the test sees of the lower half, and the gate that holds a resume inside
// PauseReceive (the service thread then keeps the driver's pause lock).
struct PauseState {
  std::atomic<bool> paused{false};
  std::atomic<bool> holdNextResume{false};
  std::atomic<bool> resumeHeld{false};
  std::mutex gateMutex;
  std::condition_variable gate;
  bool gateOpen = false;
  void OpenGate() {
    {
      std::lock_guard lock(gateMutex);
      gateOpen = true;
    }
    gate.notify_all();
  }
};

class PausingUart final : public Uart {
 public:
  explicit PausingUart(std::shared_ptr<PauseState> state) : state_(std::move(state)) {}
  void Start(UartSink&) override {}
  void Stop() override { state_->OpenGate(); }
  DWORD Configure(const DCB&) override { return 0; }
  DWORD SetRts(bool) override { return 0; }
  DWORD SetDtr(bool) override { return 0; }
  DWORD SetBreak(bool) override { return 0; }
  DWORD GetModemStatus(DWORD* status) override {
    *status = 0;
    return 0;
  }
  void TransmitReady() override {}
  DWORD OutputPending() override { return 0; }
  DWORD HoldFlags() override { return 0; }
  void PauseReceive(bool paused) override {
    state_->paused = paused;
    if (paused || !state_->holdNextResume.exchange(false)) return;
    state_->resumeHeld = true;
    std::unique_lock lock(state_->gateMutex);
    state_->gate.wait(lock, [&] { return state_->gateOpen; });
  }
  void PurgeTransmit() override {}
  void PurgeReceive() override {}
  bool AcceptsCallsFromSink() const override { return true; }

 private:
  std::shared_ptr<PauseState> state_;
};

TEST(DriverPause, ReceiveCallbackPausesWhileServiceThreadStillAppliesAResume) {
  auto state = std::make_shared<PauseState>();
  SerialDriver driver(std::make_unique<PausingUart>(state));
  ASSERT_EQ(driver.Open(), 0u);
  ASSERT_EQ(driver.SetupComm(1000, 0), 0u);
  DCB dcb;
  ASSERT_EQ(driver.GetCommState(&dcb), 0u);
  dcb.Flags = DCB_fBinary | (RTS_CONTROL_HANDSHAKE << 12);
  dcb.XonLim = 300;
  dcb.XoffLim = 300;
  ASSERT_EQ(driver.SetCommState(dcb), 0u);
  const COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
  ASSERT_EQ(driver.SetCommTimeouts(immediate), 0u);

  const std::string chunk(100, 'x');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk.data());
  for (int i = 0; i < 8; ++i) driver.OnReceive(bytes, chunk.size());
  ASSERT_TRUE(state->paused);

  // Emptying the ring makes the service thread resume; it stays inside the resume.
  state->holdNextResume = true;
  std::string sink(1000, '\0');
  DWORD got = 0;
  Overlapped o;
  ASSERT_EQ(driver.ReadFile(sink.data(), 1000, &got, &o.ov), 0u);
  ASSERT_EQ(got, 800u);
  ASSERT_TRUE(WaitUntil([&] { return state->resumeHeld.load(); }));

  // The lower half reads on while it is not paused, as a tty's I/O thread does.
  std::atomic<std::size_t> delivered{0};
  std::atomic<bool> feederDone{false};
  std::thread feeder([&] {
    while (!state->paused && delivered < 3000) {
      driver.OnReceive(bytes, chunk.size());
      delivered += chunk.size();
    }
    feederDone = true;
  });
  // A feeder left unpaused runs through its 3000 bytes at once; one that was
  // paused is held in its callback until the resume is let go.
  WaitUntil([&] { return feederDone.load(); }, std::chrono::milliseconds(300));
  state->OpenGate();
  feeder.join();

  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_EQ(driver.ClearCommError(&errors, &stat), 0u);
  EXPECT_EQ(errors & CE_RXOVER, 0u) << "bytes were dropped";
  EXPECT_EQ(stat.cbInQue, delivered.load());
  EXPECT_LE(delivered.load(), 1000u);
  EXPECT_TRUE(state->paused);
  driver.Close();
}

}  // namespace
}  // namespace veltra::test
