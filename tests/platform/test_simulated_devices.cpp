// The built-in ports: the null-modem pair and the simulated devices, driven through
// the Win32 calls as the window drives them.
#include <cstdio>

#include "platform/virtual/simulated_devices.h"
#include "tests/platform/test_driver_support.h"

namespace veltra::test {
namespace {

using std::chrono::milliseconds;
using namespace std::string_literals;

// A built-in port opened at the devices' 9600 8N1, reads returning at once.
struct DevicePort : Port {
  explicit DevicePort(const char* name) : Port(name) {
    if (!ok()) return;
    SetLine(h(), 9600);
    ImmediateReads(h());
  }
  // Sends and collects the answer of `count` bytes.
  std::string Ask(const std::string& bytes, std::size_t count) {
    EXPECT_TRUE(Send(h(), bytes));
    return Receive(h(), count);
  }
};

// Record 02: STX "02" ESC "3" ESC grams ESC unit price ESC price to pay ETX.
struct Weighing {
  long grams = -1, unit = -1, toPay = -1;
};
Weighing ParseRecord02(const std::string& r) {
  Weighing w;
  if (std::sscanf(r.c_str(), "\00202\0333\033%5ld\033%6ld\033%6ld\003", &w.grams, &w.unit,
                  &w.toPay) != 3)
    return {};
  return w;
}

TEST(SimulatedDevices, ListedWithDescriptionsAfterTheLoopback) {
  const auto names = platform::BuiltInPortNames();
  const std::vector<std::string> expected = {
      platform::kLoopbackPortName, platform::kNullModemPortA, platform::kNullModemPortB,
      platform::kScannerPortName,  platform::kScalePortName,  platform::kCashRegisterPortName};
  EXPECT_EQ(names, expected);
  for (const auto& name : names) EXPECT_FALSE(platform::VirtualPortDescription(name).empty());
  platform::RemoveVirtualPair(platform::kNullModemPortA);
  EXPECT_NE(platform::ControlVirtualEnd(platform::kNullModemPortB), nullptr) << "built-ins stay";
}

TEST(SimulatedDevices, NullModemPairJoinsItsTwoEnds) {
  DevicePort a(platform::kNullModemPortA), b(platform::kNullModemPortB);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(Send(a.h(), "ping"));
  EXPECT_EQ(Receive(b.h(), 4), "ping");
  ASSERT_TRUE(Send(b.h(), "pong"));
  EXPECT_EQ(Receive(a.h(), 4), "pong");
}

TEST(SimulatedDevices, ScannerAnswersCommandsAndReadsLabels) {
  platform::SetScanInterval(milliseconds(0));
  EXPECT_FALSE(platform::ScanBarcode()) << "port closed";
  {
    DevicePort p(platform::kScannerPortName);
    ASSERT_TRUE(p.ok());
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(p.h(), &modem));
    EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON) << "the device raises DTR and RTS";
    EXPECT_EQ(p.Ask("E\r", 1), "\x06");
    ASSERT_TRUE(platform::ScanBarcode("12345"));
    EXPECT_EQ(Receive(p.h(), 6), "12345\r");
    EXPECT_EQ(p.Ask("F\r", 1), "\x06");
    EXPECT_EQ(p.Ask("D\r", 1), "\x06");
    EXPECT_FALSE(platform::ScanBarcode()) << "disabled";
  }
  DevicePort p(platform::kScannerPortName);
  EXPECT_FALSE(platform::ScanBarcode()) << "still disabled after reopening";
  EXPECT_EQ(p.Ask("E", 1), "\x06");
  platform::SetScanInterval(milliseconds(20));
  const std::string labels = Receive(p.h(), 28);
  platform::SetScanInterval(milliseconds(0));
  ASSERT_GE(labels.size(), 28u);
  EXPECT_EQ(labels[13], '\r');
  EXPECT_NE(labels.substr(0, 13), labels.substr(14, 13)) << "a different label each time";
  // EAN-13: the check digit makes the weighted sum a multiple of ten.
  int sum = 0;
  for (int i = 0; i < 13; ++i) sum += (labels[i] - '0') * (i % 2 ? 3 : 1);
  EXPECT_EQ(sum % 10, 0) << labels.substr(0, 13);
}

TEST(SimulatedDevices, ScaleTakesThePriceAndWeighs) {
  DevicePort p(platform::kScalePortName);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.Ask("\x04\x05", 1), "\x15") << "no price yet";
  EXPECT_EQ(p.Ask("\004\00201\033000220\033\003\r"s, 1), "\x06");
  const Weighing first = ParseRecord02(p.Ask("\004\r\005\r", 26));
  EXPECT_GE(first.grams, 1);
  EXPECT_EQ(first.unit, 220);
  EXPECT_EQ(first.toPay, (first.grams * 220 + 500) / 1000);
  const Weighing second = ParseRecord02(p.Ask("\004\005", 26));
  EXPECT_NE(second.grams, first.grams) << "the weight changes";
  EXPECT_EQ(p.Ask("\004\00201\0332x0\033\003", 1), "\x15") << "malformed";
}

TEST(SimulatedDevices, CashRegisterAnswersAFramedReport) {
  DevicePort p(platform::kCashRegisterPortName);
  ASSERT_TRUE(p.ok());
  std::string request =
      "\x10\x02\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x03\x01\x00\x00\x00\x01"
      "\x00\x10\x03\xD3\r"s;
  ASSERT_TRUE(Send(p.h(), request));
  std::string answer = Receive(p.h(), 5);
  WaitUntil([&] {
    answer += ReadQueued(p.h());
    return answer.size() > 5 && answer.compare(answer.size() - 3, 2, "\x10\x03") == 0;
  });
  ASSERT_GE(answer.size(), 7u) << answer;
  EXPECT_EQ(answer.substr(0, 4), "\x06\x10\x02\x01");
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i + 1 < answer.size(); ++i) sum = std::uint8_t(sum + answer[i]);
  EXPECT_EQ(std::uint8_t(answer.back()), std::uint8_t(~sum)) << "check byte of the report";
  request[23] = '\x00';
  EXPECT_EQ(p.Ask(request, 1), "\x15") << "a wrong check byte";
}

TEST(SimulatedDevices, ClosingWhileTheDeviceSendsIsClean) {
  platform::SetScanInterval(milliseconds(1));
  for (int i = 0; i < 20; ++i) {
    DevicePort p(platform::kScannerPortName);
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(Send(p.h(), "E"));
    // Closes at a different point of the device's answer each round: the
    // interleaving is the test, not a wait for anything.
    std::this_thread::sleep_for(milliseconds(i % 4));
  }
  platform::SetScanInterval(milliseconds(0));
}

}  // namespace
}  // namespace veltra::test
