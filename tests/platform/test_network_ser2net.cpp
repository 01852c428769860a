// Network ports against a real ser2net in front of a pty pair: the pty master is
// the device at the far end of the server's serial line.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/core/open_failure.h"
#include "platform/driver/uart.h"
#include "tests/platform/ser2net_fixture.h"
#include "tests/platform/test_driver_support.h"
#include "tests/platform/test_posix_pty.h"
#include "tests/platform/test_posix_sink.h"

namespace veltra::test {
namespace {

class Ser2netTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    server = std::make_unique<PrivateSer2net>(pty.slave(), "", VELTRA_TERMIOS_PROBE);
    ASSERT_TRUE(server->Ready()) << server->Failure();
  }
  // What ser2net last gave the tty: c_cflag and speed, from inside it.
  tcflag_t LastCflag() {
    std::istringstream fields(server->LastTermios());
    unsigned cflag = 0;
    fields >> std::hex >> cflag;
    return cflag;
  }
  termios2 PtyTermios() {
    termios2 t{};
    EXPECT_EQ(ioctl(pty.master(), TCGETS2, &t), 0);
    return t;
  }
  Pty pty;
  std::unique_ptr<PrivateSer2net> server;
};

std::string TestBytes(std::size_t size) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  bytes += std::string(300, '\xFF');  // runs of IAC, split wherever the pieces fall
  std::mt19937 random(14);
  while (bytes.size() < size) bytes += static_cast<char>(random());
  return bytes;
}

// One connection per server: ser2net puts the tty back as it found it when a
// connection closes, which would land on the next one if it came at once.
void ExchangeBytes(const std::string& name, const Pty& pty) {
  const std::string bytes = TestBytes(256 * 1024);
  Port port(name);
  ASSERT_TRUE(port.ok()) << name << ": " << platform::LastOpenFailureText();
  ImmediateReads(port.h());
  // A small queue with RTS handshake: the reader below is slower than the line, so
  // the port pauses the server again and again, and must lose nothing.
  SetLine(port.h(), 115200, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | (RTS_CONTROL_HANDSHAKE << 12));
  std::string atDevice;
  std::thread device([&] { atDevice = pty.Read(bytes.size(), std::chrono::seconds(20)); });
  EXPECT_TRUE(Send(port.h(), bytes));
  device.join();
  EXPECT_TRUE(atDevice == bytes) << name << ": " << atDevice.size() << " bytes came";
  ASSERT_TRUE(pty.Write(bytes));
  const std::string atPort = Receive(port.h(), bytes.size(), std::chrono::seconds(20));
  EXPECT_TRUE(atPort == bytes) << name << ": " << atPort.size() << " bytes came";
  DWORD errors = 0;
  COMSTAT stat;
  EXPECT_TRUE(ClearCommError(port.h(), &errors, &stat));
  EXPECT_EQ(errors, 0u);
}

TEST_F(Ser2netTest, BytesGoBothWaysByteExactOverRfc2217) {
  EXPECT_TRUE(server->ListensOnlyOnLoopback());
  ExchangeBytes(server->Rfc2217Name(), pty);
}

TEST_F(Ser2netTest, BytesGoBothWaysByteExactOverRawTcp) {
  ExchangeBytes(server->TcpName(), pty);
}

TEST_F(Ser2netTest, LineSettingsSetThroughThePortReachTheTty) {
  Port port(server->Rfc2217Name());
  ASSERT_TRUE(port.ok()) << platform::LastOpenFailureText();
  SetLine(port.h(), 19200, 7, EVENPARITY, TWOSTOPBITS);
  // The pty keeps speed and stop bits itself; it forces 8 data bits and no parity
  // bit, which the probe inside ser2net sees asked for.
  EXPECT_TRUE(WaitUntil([&] {
    const termios2 t = PtyTermios();
    return t.c_ospeed == 19200 && (t.c_cflag & CSTOPB) && (LastCflag() & CSIZE) == CS7 &&
           (LastCflag() & (PARENB | PARODD | CMSPAR)) == PARENB;
  })) << server->LastTermios();
  SetLine(port.h(), 1200, 8, MARKPARITY, ONESTOPBIT);
  EXPECT_TRUE(WaitUntil([&] {
    const termios2 t = PtyTermios();
    return t.c_ospeed == 1200 && !(t.c_cflag & CSTOPB) && (t.c_cflag & (PARODD | CMSPAR)) &&
           (LastCflag() & CSIZE) == CS8 &&
           (LastCflag() & (PARENB | PARODD | CMSPAR)) == (PARENB | PARODD | CMSPAR);
  })) << server->LastTermios();
}

TEST_F(Ser2netTest, ServerThatCannotOpenItsDeviceFailsTheOpenInItsOwnWords) {
  pty.CloseMaster();  // the slave, ser2net's device, is gone with it
  Port port(server->Rfc2217Name());
  EXPECT_FALSE(port.ok());
  EXPECT_EQ(GetLastError(), ERROR_CONNECTION_ABORTED);
  const std::string text = platform::LastOpenFailureText();
  EXPECT_NE(
      text.find("closed the connection during the RFC 2217 negotiation: \"Device open failure"),
      std::string::npos)
      << text;
}

TEST_F(Ser2netTest, ServerKilledMidTransferIsOneVanishedReportAndNoHang) {
  DWORD error = 0;
  auto uart = platform::OpenNetworkUart(server->Rfc2217Name(), &error);
  ASSERT_NE(uart, nullptr) << error << ": " << platform::LastOpenFailureText();
  RecordingSink sink;
  sink.Offer(std::string(8 << 20, 'k'));
  uart->Start(sink);
  uart->TransmitReady();
  ASSERT_FALSE(pty.Read(64 * 1024, std::chrono::seconds(5)).empty());
  server->Kill();
  EXPECT_TRUE(sink.WaitFor([&] { return sink.vanished > 0; }, std::chrono::seconds(5)));
  DWORD status = 0;
  EXPECT_EQ(uart->GetModemStatus(&status), ERROR_DEVICE_NOT_CONNECTED);
  const auto start = std::chrono::steady_clock::now();
  uart->Stop();
  // A hang guard: a stop that waited on the dead connection would never end.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(sink.vanished, 1);
}

}  // namespace
}  // namespace veltra::test
