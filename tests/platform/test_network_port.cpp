// Network ports through the Win32 calls, against the small RFC 2217 peer: what the
// server's notifications do to lamps, holds, line errors and ring; settings and
// controls on the wire; malformed input; failures to open; raw TCP; a dropped
// connection; a server that stops reading.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/core/open_failure.h"
#include "platform/driver/port_notices.h"
#include "platform/net/network_ports.h"
#include "tests/platform/rfc2217_peer.h"
#include "tests/platform/test_driver_support.h"

namespace veltra::test {
namespace {

using Bytes = Rfc2217Peer::Bytes;
using Clock = std::chrono::steady_clock;
using platform::telnet::kIac;
using platform::telnet::kSb;
using platform::telnet::kSe;

// The events the next WaitCommEvent reports (those since the mask was set).
DWORD NextEvents(HANDLE h) {
  Overlapped wait;
  DWORD mask = 0;
  if (!WaitCommEvent(h, &mask, &wait.ov) && GetLastError() != ERROR_IO_PENDING) return 0;
  return wait.Signalled(3000) ? mask : 0;
}

std::string Notices(HANDLE h) {
  std::string all;
  for (const platform::PortNotice& n : platform::TakePortNotices(h))
    all += (n.error ? "error: " : "") + n.text + "\n";
  return all;
}

struct OpenedPeer {
  explicit OpenedPeer(Rfc2217Peer::Mode mode = Rfc2217Peer::Mode::kTelnet)
      : peer(mode), port(peer.Name(mode == Rfc2217Peer::Mode::kRaw ? "tcp" : "rfc2217")) {
    EXPECT_TRUE(port.ok()) << GetLastError() << ": " << platform::LastOpenFailureText();
    ImmediateReads(port.h());
  }
  Rfc2217Peer peer;
  Port port;
};

TEST(NetworkPort, NotificationsLightLampsHoldsLineErrorsAndRing) {
  OpenedPeer o;
  const HANDLE h = o.port.h();
  ASSERT_TRUE(o.peer.WaitForRequest({11, 0xFF}));  // the modem-state mask
  SetLine(h, 9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow);
  ASSERT_TRUE(SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR | EV_BREAK));
  o.peer.SendComPort(107, {0xB0 | 0x0B});  // CD, DSR, CTS on
  EXPECT_EQ(NextEvents(h), EV_CTS | EV_DSR | EV_RLSD);
  DWORD status = 0;
  EXPECT_TRUE(GetCommModemStatus(h, &status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  o.peer.SendComPort(107, {0xA0 | 0x01});  // CTS off: the server holds the output
  EXPECT_TRUE(WaitUntil([&] { return (Holds(h) & COMSTAT_fCtsHold) != 0; }));
  // Pulses over by the time the server tells: a ring, then a CTS blip.
  ASSERT_TRUE(SetCommMask(h, EV_RING));
  o.peer.SendComPort(107, {0xA0 | 0x04});
  EXPECT_EQ(NextEvents(h), EV_RING);
  ASSERT_TRUE(SetCommMask(h, EV_CTS));
  o.peer.SendComPort(107, {0xA0 | 0x01});
  EXPECT_EQ(NextEvents(h), EV_CTS);

  ASSERT_TRUE(SetCommMask(h, EV_BREAK));
  o.peer.SendComPort(106, {0x08 | 0x04 | 0x10});  // framing, parity, break
  EXPECT_EQ(NextEvents(h), EV_BREAK);
  EXPECT_EQ(Errors(h), CE_FRAME | CE_RXPARITY | CE_BREAK);

  o.peer.SendComPort(108, {});  // FLOWCONTROL-SUSPEND: nothing goes out
  EXPECT_TRUE(WaitUntil([&] { return (Holds(h) & COMSTAT_fXoffHold) != 0; }));
  Overlapped write;
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(h, "held", 4, &written, &write.ov));
  COMSTAT stat;
  Holds(h, &stat);
  EXPECT_EQ(stat.cbOutQue, 4u);
  o.peer.SendComPort(109, {});  // RESUME
  EXPECT_EQ(o.peer.WaitForData(4), "held");
  EXPECT_TRUE(write.Signalled(3000));
}

TEST(NetworkPort, SettingsAndControlsReachTheServerWhichMayRefuse) {
  OpenedPeer o;
  const HANDLE h = o.port.h();
  SetLine(h, 19200, 7, MARKPARITY, TWOSTOPBITS,
          DCB_fBinary | DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12));
  for (const Bytes& r :
       {Bytes{1, 0, 0, 0x4B, 0}, Bytes{2, 7}, Bytes{3, 4}, Bytes{4, 2}, Bytes{5, 3}, Bytes{5, 16}})
    EXPECT_TRUE(o.peer.WaitForRequest(r)) << int(r[0]) << " " << int(r.back());
  EXPECT_TRUE(EscapeCommFunction(h, CLRDTR));
  EXPECT_TRUE(SetCommBreak(h));
  EXPECT_TRUE(PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR));
  for (const Bytes& r : {Bytes{5, 9}, Bytes{5, 5}, Bytes{12, 2}, Bytes{12, 1}})
    EXPECT_TRUE(o.peer.WaitForRequest(r)) << int(r[0]) << " " << int(r.back());

  const std::string bytes(
      "a\xFF\xFF"
      "b\r\0c",
      7);
  ASSERT_TRUE(Send(h, bytes));
  EXPECT_EQ(o.peer.WaitForData(bytes.size()), bytes);
  o.peer.Send({'x', kIac, kIac, '\r', 0, 'y'});
  EXPECT_EQ(Receive(h, 5), std::string("x\xFF\r\0y", 5));

  o.peer.ConfirmBaudAs(9600);  // the server's UART cannot do the rate asked for
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 115200;
  EXPECT_FALSE(SetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_NE(Notices(h).find("refused baud rate 115200 (it answered baud rate 9600)"),
            std::string::npos);
}

TEST(NetworkPort, MalformedTelnetIsReportedAndNeitherCrashesNorHangs) {
  OpenedPeer o;
  const HANDLE h = o.port.h();
  // The opening's last request (RTS on): the answers to the earlier ones are out, so
  // none lands after the dangling IAC below.
  ASSERT_TRUE(o.peer.WaitForRequest({5, 11}));
  Bytes junk = {'A', kIac, kSb, 44, 101, 0, kIac, 251, 99, 'B'};  // cut short; unknown option
  junk.insert(junk.end(), {kIac, kSb, 44, 107, kIac, kSe});       // no value
  junk.insert(junk.end(), {kIac, kSb, 44, 160, 1, kIac, kSe});    // unknown command
  junk.insert(junk.end(), {kIac, kSb, 44});
  junk.insert(junk.end(), 1000, 'z');               // never ends within reason
  junk.insert(junk.end(), {kIac, kSe, 'C', kIac});  // IAC at the end of what the server sent
  o.peer.Send(junk);
  EXPECT_EQ(Receive(h, 3), "ABC");
  o.peer.Send({kIac, 'D'});
  EXPECT_EQ(Receive(h, 2),
            "\xFF"
            "D");
  const std::string notices = Notices(h);
  for (const char* what : {"cut short", "with 0 value bytes", "unknown COM-PORT-OPTION command 160",
                           "longer than 256 bytes"})
    EXPECT_NE(notices.find(what), std::string::npos) << what << " in:\n" << notices;
  ASSERT_TRUE(Send(h, "still here"));
  EXPECT_EQ(o.peer.WaitForData(10), "still here");
}

TEST(NetworkPort, FailuresToOpenNameTheServerAndSayWhy) {
  const auto open = [](const std::string& name) {
    Port port(name);
    EXPECT_FALSE(port.ok());
    return std::make_pair(GetLastError(), platform::LastOpenFailureText());
  };
  Rfc2217Peer silent(Rfc2217Peer::Mode::kSilent);
  const auto start = Clock::now();
  auto [error, text] = open(silent.Name());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
  EXPECT_EQ(error, ERROR_SEM_TIMEOUT);
  EXPECT_NE(text.find("did not answer the RFC 2217 negotiation"), std::string::npos) << text;
  EXPECT_NE(text.find("tcp://127.0.0.1:"), std::string::npos) << text;

  // A bound socket that does not listen: connecting to it is refused.
  int closedPort = 0;
  const TestSocket closed = LoopbackTcp(false, &closedPort);
  ASSERT_NE(closed, kNoTestSocket);
  const std::string where = "127.0.0.1:" + std::to_string(closedPort);
  std::tie(error, text) = open("rfc2217://" + where);
  EXPECT_EQ(error, ERROR_CONNECTION_REFUSED);
  EXPECT_EQ(text.rfind(where + " refused the connection", 0), 0u) << text;
  EXPECT_FALSE(platform::NetworkPortReachable("tcp://" + where, 1000));
  EXPECT_TRUE(platform::NetworkPortReachable(silent.Name("tcp"), 1000));
  CloseTestSocket(closed);

  std::tie(error, text) = open("RFC2217://[::1]4001");
  EXPECT_EQ(error, ERROR_INVALID_NAME);
  EXPECT_NE(text.find("rfc2217://HOST:PORT"), std::string::npos) << text;
}

TEST(NetworkPort, RawTcpCarriesDataOnlyAndItsModemCallsFailAsOnAPty) {
  OpenedPeer o(Rfc2217Peer::Mode::kRaw);
  const HANDLE h = o.port.h();
  SetLine(h, 115200, 7, EVENPARITY);
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(h, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  const std::string bytes("\xFF\xFB\x2C\r\0", 5);  // as they are, no Telnet
  ASSERT_TRUE(Send(h, bytes));
  EXPECT_EQ(o.peer.WaitForData(5), bytes);
  o.peer.Send(Bytes(bytes.begin(), bytes.end()));
  EXPECT_EQ(Receive(h, 5), bytes);
}

TEST(NetworkPort, TelnetServerWithoutComPortOptionCarriesDataOnly) {
  OpenedPeer o(Rfc2217Peer::Mode::kPlainTelnet);
  const HANDLE h = o.port.h();
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(h, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_NE(Notices(h).find("refused COM-PORT-OPTION: data only"), std::string::npos);
  const std::string bytes("\xFF\r\0", 3);  // still Telnet: IAC doubled on the wire
  ASSERT_TRUE(Send(h, bytes));
  EXPECT_EQ(o.peer.WaitForData(3), bytes);
}

TEST(NetworkPort, ServerThatStopsReadingEndsWritesByTheirTimeOutThenDropsTheConnection) {
  OpenedPeer o;
  const HANDLE h = o.port.h();
  o.peer.SetReading(false);
  ImmediateReads(h, 300);  // the write ends after 300 ms with what the socket took
  const std::string big(32 << 20, 'w');
  Overlapped write;
  DWORD written = 0;
  const auto start = Clock::now();
  ASSERT_FALSE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &written, &write.ov));
  COMSTAT stat;
  DWORD errors = 0;
  EXPECT_TRUE(WaitUntil([&] { return ClearCommError(h, &errors, &stat) && stat.cbOutQue > 0; }));
  ASSERT_TRUE(GetOverlappedResult(h, &write.ov, &written, TRUE));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_LT(written, big.size());

  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  Overlapped wait;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(h, &mask, &wait.ov));
  o.peer.Hangup();
  ASSERT_TRUE(wait.Signalled(5000));
  EXPECT_FALSE(GetOverlappedResult(h, &wait.ov, &mask, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(ClearCommError(h, &errors, &stat));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_NE(Notices(h).find(": connection "), std::string::npos);
}

}  // namespace
}  // namespace veltra::test
