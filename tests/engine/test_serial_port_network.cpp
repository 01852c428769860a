// A network port's server that refuses a setting, sends malformed Telnet or hangs
// up: the component reports what the layer below says about it, each once, at its
// own place, against the small RFC 2217 peer on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>

#include "port_test_support.h"
#include "tests/platform/rfc2217_peer.h"

namespace veltra::engine::test {
namespace {

using namespace std::chrono_literals;
using platform::telnet::kIac;
using platform::telnet::kSb;
using platform::telnet::kSe;
constexpr Cardinal kNotice = TSerialPort::kPortNoticePlace;

// The index of the first report at `place` whose text holds `part`, or -1.
int IndexOf(const ReportLog& log, Cardinal place, const std::string& part) {
  for (std::size_t i = 0; i < log.reports.size(); ++i) {
    const Report& r = log.reports[i];
    if (r.place == place && r.msg.find(part) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

TEST(SerialPortNetwork, TheServersRefusalsFaultsAndHangUpAreReportedOnceEach) {
  veltra::test::Rfc2217Peer peer;
  TOwnerCallQueue owner;
  TSerialPort port{owner};
  ReportLog log;
  log.Attach(port);
  port.SetAutoReopen(false);
  port.SetCommPort(peer.Name());
  port.SetActive(true);
  ASSERT_TRUE(port.Active()) << (log.reports.empty() ? "" : log.reports.back().msg);
  ASSERT_TRUE(peer.WaitForRequest({5, 11}));  // RTS on: the opening is through

  // A rate the server's UART cannot do: the failure, then the server's words at once.
  peer.ConfirmBaudAs(9600);
  port.SetBaudRate(115200);
  const int refused = IndexOf(log, kNotice, "refused baud rate 115200");
  ASSERT_GE(refused, 1);
  EXPECT_EQ(log.reports[refused - 1].place, 802u);
  EXPECT_EQ(log.reports[refused].noise, 0);

  // Malformed Telnet while open: a warning, from the worker's next cycle.
  peer.Send({kIac, kSb, 44, 160, 1, kIac, kSe});
  ASSERT_TRUE(owner.PumpUntil(
      [&] { return IndexOf(log, kNotice, "unknown COM-PORT-OPTION command 160") >= 0; }, 3000ms));
  EXPECT_EQ(log.reports[IndexOf(log, kNotice, "command 160")].noise, 1);

  // The server hangs up: why, then the removal.
  peer.Hangup();
  ASSERT_TRUE(owner.PumpUntil([&] { return !port.Active(); }, 5000ms));
  const int why = IndexOf(log, kNotice, ": connection ");
  ASSERT_GE(why, 0);
  EXPECT_EQ(log.reports[why].noise, 0);
  EXPECT_LT(why, IndexOf(log, 120, "device removed"));

  owner.PumpFor(200ms);  // nothing is told twice
  const auto count = [&](Cardinal place, const std::string& part) {
    return std::count_if(log.reports.begin(), log.reports.end(), [&](const Report& r) {
      return r.place == place && r.msg.find(part) != std::string::npos;
    });
  };
  EXPECT_EQ(count(kNotice, "refused baud rate"), count(802, "")) << "one for each refusal";
  EXPECT_EQ(count(kNotice, "command 160"), 1);
  EXPECT_EQ(count(kNotice, ": connection "), 1);
}

}  // namespace
}  // namespace veltra::engine::test
