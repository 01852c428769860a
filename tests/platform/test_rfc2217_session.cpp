// The RFC 2217 session without a socket: the negotiation it opens and answers, the
// server's messages as modem and line events, and the confirmations of settings.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/net/rfc2217_session.h"

namespace veltra::test {
namespace {

using namespace win;
using platform::telnet::Bytes;
namespace rfc = platform::rfc2217;
namespace telnet = platform::telnet;

constexpr std::uint8_t IAC = telnet::kIac, WILL = telnet::kWill, WONT = telnet::kWont,
                       DO = telnet::kDo, DONT = telnet::kDont, SB = telnet::kSb, SE = telnet::kSe,
                       COM = telnet::kComPort;

Bytes ComPortMessage(std::uint8_t serverCode, Bytes value) {
  // Built in one go: GCC 12 at -O2 warns falsely on inserts into a 4-byte vector.
  Bytes out;
  out.reserve(value.size() + 6);
  for (const std::uint8_t b : {IAC, SB, COM, serverCode}) out.push_back(b);
  for (const std::uint8_t b : value) out.push_back(b);
  out.push_back(IAC);
  out.push_back(SE);
  return out;
}

class Events : public rfc::SessionEvents {
 public:
  bool OnData(const std::uint8_t* d, std::size_t n) override {
    data.append(reinterpret_cast<const char*>(d), n);
    return data.size() < stopAt;
  }
  void OnSend(const Bytes& bytes) override { sent.insert(sent.end(), bytes.begin(), bytes.end()); }
  void OnModemStatus(DWORD status) override { modem.push_back(status); }
  void OnLineState(DWORD errors, bool lineBreak) override {
    lineErrors = errors;
    breaks += lineBreak ? 1 : 0;
  }
  void OnNotice(const std::string& text) override { notices.push_back(text); }

  std::string data;
  std::size_t stopAt = ~std::size_t{0};
  Bytes sent;
  std::vector<DWORD> modem;
  DWORD lineErrors = 0;
  int breaks = 0;
  std::vector<std::string> notices;
};

// A session whose server agreed to COM-PORT-OPTION and binary mode both ways.
struct Agreed {
  Agreed() {
    EXPECT_EQ(session.Begin(), (Bytes{IAC, WILL, COM, IAC, WILL, 0, IAC, DO, 0}));
    Feed({IAC, DO, COM, IAC, DO, 0, IAC, WILL, 0});
  }
  std::size_t Feed(const Bytes& bytes) { return session.Feed(bytes.data(), bytes.size(), events); }
  rfc::Session session;
  Events events;
};

TEST(Rfc2217Session, NegotiatesAndAnswersOnlyWhatItMust) {
  Agreed a;
  EXPECT_TRUE(a.session.Settled());
  EXPECT_TRUE(a.session.ComPort());
  EXPECT_TRUE(a.session.LocalBinary());
  EXPECT_TRUE(a.events.sent.empty());  // answers to its own requests need none
  a.Feed({IAC, DO, telnet::kEcho});
  EXPECT_EQ(a.events.sent, (Bytes{IAC, WONT, telnet::kEcho}));
  a.events.sent.clear();
  a.Feed({IAC, DONT, COM});
  EXPECT_FALSE(a.session.ComPort());
  EXPECT_EQ(a.events.sent, (Bytes{IAC, WONT, COM}));
  ASSERT_EQ(a.events.notices.size(), 1u);
  EXPECT_EQ(a.events.notices[0], "the server withdrew COM-PORT-OPTION: data only from now on");
}

TEST(Rfc2217Session, DataStopsWhereTheReceiverSaysAndServerMessagesBecomeEvents) {
  Agreed a;
  a.events.stopAt = 1;
  const Bytes data{'a', IAC, IAC, 'b', 'c'};
  const std::size_t used = a.Feed(data);
  EXPECT_LT(used, data.size());
  a.events.stopAt = ~std::size_t{0};
  a.Feed(Bytes(data.begin() + static_cast<std::ptrdiff_t>(used), data.end()));
  EXPECT_EQ(a.events.data,
            "a\xFF"
            "bc");

  a.Feed(ComPortMessage(107, {0x30}));  // CTS and DSR on
  a.Feed(ComPortMessage(107, {0x31}));  // CTS changed and changed back: a pulse
  EXPECT_EQ(a.events.modem, (std::vector<DWORD>{0x30, 0x20, 0x30}));
  EXPECT_EQ(a.session.ModemStatus(), MS_CTS_ON | MS_DSR_ON);

  a.Feed(ComPortMessage(106, {rfc::kLineOverrun | rfc::kLineBreak}));
  EXPECT_EQ(a.events.lineErrors, CE_OVERRUN);
  EXPECT_EQ(a.events.breaks, 1);
  a.Feed(ComPortMessage(108, {}));
  EXPECT_TRUE(a.session.PeerSuspended());
  a.Feed(ComPortMessage(199, {1}));
  ASSERT_EQ(a.events.notices.size(), 1u);
  EXPECT_EQ(a.events.notices[0].rfind("malformed Telnet from the server, ignored: ", 0), 0u);
}

TEST(Rfc2217Session, SettingsAnsweredWithOtherValuesAreRefusedAndSilentOnesTaken) {
  Agreed a;
  rfc::LineRequest want;
  want.baud = 1200;
  const auto never = [] { return false; };
  const auto wait = std::chrono::milliseconds(20);
  std::string refusal;
  Bytes out;
  rfc::AwaitedAnswers awaited{};
  awaited[rfc::kBaud] = a.session.AppendSettingRequest(rfc::kBaud, 1200, out);
  EXPECT_EQ(out, (Bytes{IAC, SB, COM, 1, 0, 0, 0x04, 0xB0, IAC, SE}));
  a.Feed(ComPortMessage(101, {0, 0, 0x25, 0x80}));  // 9600
  EXPECT_EQ(a.session.AwaitAnswers(want, awaited, wait, never, &refusal),
            rfc::Session::Confirmation::kRefused);
  EXPECT_EQ(refusal, "the server refused baud rate 1200 (it answered baud rate 9600)");

  // The next request is answered by the next answer, not the earlier one.
  awaited[rfc::kBaud] = a.session.AppendSettingRequest(rfc::kBaud, 1200, out);
  a.Feed(ComPortMessage(101, {0, 0, 0x04, 0xB0}));
  EXPECT_EQ(a.session.AwaitAnswers(want, awaited, wait, never, &refusal),
            rfc::Session::Confirmation::kTaken);
  awaited[rfc::kBaud] = a.session.AppendSettingRequest(rfc::kBaud, 1200, out);
  EXPECT_EQ(a.session.AwaitAnswers(want, awaited, wait, never, &refusal),
            rfc::Session::Confirmation::kTaken);  // never answered: written off
  EXPECT_EQ(a.session.AwaitAnswers(
                want, awaited, wait, [] { return true; }, &refusal),
            rfc::Session::Confirmation::kGone);
}

}  // namespace
}  // namespace veltra::test
