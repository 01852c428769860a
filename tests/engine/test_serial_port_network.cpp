// A network port's server that refuses a setting, sends malformed Telnet or hangs
// up: the component reports what the layer below says about it, each once, at its
// own place, against the small RFC 2217 peer on 127.0.0.1.
#include <gtest/gtest.h>

#include "port_test_support.h"
#include "tests/platform/rfc2217_peer.h"

namespace veltra::engine::test {
namespace {

using namespace std::chrono_literals;
using platform::telnet::kIac;
using platform::telnet::kSb;
using platform::telnet::kSe;
constexpr Cardinal kNotice = TSerialPort::kPortNoticePlace;

// The indexes of the reports at `place` whose text holds `part`.
std::vector<std::size_t> Where(const ReportLog& log, Cardinal place, const std::string& part) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < log.reports.size(); ++i) {
    if (log.reports[i].place == place && log.reports[i].msg.find(part) != std::string::npos)
      found.push_back(i);
  }
  return found;
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
  ASSERT_TRUE(port.Active());
  ASSERT_TRUE(peer.WaitForRequest({5, 11}));  // RTS on: the opening is through

  // A rate the server's UART cannot do: the failure, then the server's words, an error.
  peer.ConfirmBaudAs(9600);
  port.SetBaudRate(115200);
  const auto refused = Where(log, kNotice, "refused baud rate 115200");
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(log.reports[refused[0] - 1].place, 802u);
  EXPECT_EQ(log.reports[refused[0]].noise, 0);
  // Malformed Telnet while open: a warning, from the worker.
  peer.Send({kIac, kSb, 44, 160, 1, kIac, kSe});
  ASSERT_TRUE(owner.PumpUntil([&] { return !Where(log, kNotice, "command 160").empty(); }, 3000ms));
  EXPECT_EQ(log.reports[Where(log, kNotice, "command 160")[0]].noise, 1);
  // The server hangs up: why (an error), then the removal.
  peer.Hangup();
  ASSERT_TRUE(owner.PumpUntil([&] { return !port.Active(); }, 5000ms));
  const auto why = Where(log, kNotice, ": connection ");
  ASSERT_EQ(why.size(), 1u);
  EXPECT_EQ(log.reports[why[0]].noise, 0);
  EXPECT_EQ(log.reports.at(why[0] + 1).place, 120u);

  owner.PumpFor(200ms);  // nothing is told twice
  EXPECT_EQ(Where(log, kNotice, "refused baud rate").size(), Where(log, 802, "").size());
  EXPECT_EQ(Where(log, kNotice, "command 160").size(), 1u);
  EXPECT_EQ(Where(log, kNotice, ": connection ").size(), 1u);
}

}  // namespace
}  // namespace veltra::engine::test
