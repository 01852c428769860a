// A recording sink for driving the tty lower half directly in tests, and small
// helpers around it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver/uart.h"
#include "tests/platform/test_posix_pty.h"
#include "tests/platform/test_wait.h"

namespace veltra::test {

using namespace veltra::win;
using std::chrono::milliseconds;

// Records what the lower half delivers; offers `toSend` to the transmit path.
class RecordingSink : public platform::UartSink {
 public:
  void OnReceive(const std::uint8_t* data, std::size_t count) override {
    Note([&] { received.append(reinterpret_cast<const char*>(data), count); });
  }
  void OnReceiveError(std::uint8_t byte, DWORD lineError) override {
    Note([&] {
      received.push_back(static_cast<char>(byte));
      errors |= lineError;
    });
  }
  void OnLineError(DWORD lineErrors) override {
    Note([&] { errors |= lineErrors; });
  }
  void OnModemStatus(DWORD status) override {
    Note([&] { modem.push_back(status); });
  }
  void OnBreak() override {}
  void OnVanished() override {
    Note([&] { ++vanished; });
  }
  std::size_t TakeTransmit(std::uint8_t* out, std::size_t max) override {
    std::lock_guard lock(mutex);
    const std::size_t n = std::min(max, toSend.size() - taken);
    std::copy_n(toSend.begin() + static_cast<std::ptrdiff_t>(taken), n, out);
    taken += n;
    return n;
  }
  void OnTransmitterEmpty() override {
    Note([&] { ++empties; });
  }

  template <class Condition>
  bool WaitFor(Condition condition, milliseconds deadline = milliseconds(3000)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, deadline, [&] { return condition(); });
  }
  void Offer(const std::string& bytes) {
    std::lock_guard lock(mutex);
    toSend += bytes;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::string received;
  DWORD errors = 0;
  std::vector<DWORD> modem;
  int vanished = 0;
  int empties = 0;
  std::string toSend;
  std::size_t taken = 0;

 private:
  template <class Change>
  void Note(Change change) {
    {
      std::lock_guard lock(mutex);
      change();
    }
    changed.notify_all();
  }
};

inline DCB LineDcb(DWORD baud, BYTE byteSize = 8, BYTE parity = NOPARITY,
                   BYTE stopBits = ONESTOPBIT, DWORD flags = DCB_fBinary) {
  DCB dcb;
  dcb.BaudRate = baud;
  dcb.ByteSize = byteSize;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  dcb.Flags = flags;
  return dcb;
}

// The lower half on a pty's slave, stopped with the object; `sink` takes what it
// delivers once started.
template <class Sink>
struct BasicOpenPort {
  explicit BasicOpenPort(const Pty& pty) {
    DWORD error = 0;
    uart = platform::OpenPosixUart(pty.slave(), &error);
    EXPECT_NE(uart, nullptr) << "open failed with " << error;
  }
  ~BasicOpenPort() {
    if (uart) uart->Stop();
  }
  std::unique_ptr<platform::Uart> uart;
  Sink sink;
};
using OpenPort = BasicOpenPort<RecordingSink>;

}  // namespace veltra::test
