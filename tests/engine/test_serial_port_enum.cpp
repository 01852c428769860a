// Port enumeration into a caller's list, and the version query behind PlatformID.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "engine/comm_port_list.h"
#include "platform/port_enum.h"
#include "platform/sysinfo_seam.h"
#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

// Restores the real platform id however the test ends.
struct PlatformOverride {
  explicit PlatformOverride(std::uint32_t id) { platform::OverridePlatformIdForTests(id); }
  ~PlatformOverride() { platform::OverridePlatformIdForTests(std::nullopt); }
};

TEST(EnumComPorts, AddsAfterWhatTheListHoldsWithoutDuplicates) {
  const std::vector<std::string> devices = platform::ListSerialDevices();
  TStringList list{"first"};
  // A device already listed in another case is not added again.
  if (!devices.empty()) list.push_back(Upper(devices.front()));
  const TStringList before = list;
  EnumComPorts(list);
  EnumComPorts(list);
  ASSERT_GE(list.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.end(), list.begin()));
  EXPECT_EQ(list.size(), before.size() + devices.size() - (devices.empty() ? 0 : 1));
  for (std::size_t i = 0; i < list.size(); ++i) {
    for (std::size_t j = i + 1; j < list.size(); ++j) EXPECT_NE(Upper(list[i]), Upper(list[j]));
  }
}

TEST(EnumComPorts, LeavesVirtualPortsToTheWindow) {
  VirtualPair pair;
  TStringList list;
  EnumComPorts(list);
  EXPECT_EQ(std::count(list.begin(), list.end(), pair.a), 0);
  EXPECT_EQ(std::count(list.begin(), list.end(), std::string(platform::kLoopbackPortName)), 0);
}

TEST(QueryOSVersion, ReportsThePlatformFamily) {
  win::OSVERSIONINFOA info;
  info.dwOSVersionInfoSize = 0;  // the query sets the size itself
  EXPECT_EQ(QueryOSVersion(info), 2);
  EXPECT_EQ(info.dwOSVersionInfoSize, 148u);
  EXPECT_GT(info.dwMajorVersion, 0u);
  {
    PlatformOverride family(1);
    TOwnerCallQueue owner;
    TSerialPort port(owner);
    EXPECT_EQ(port.PlatformID(), 1);
  }
  {
    // A 16-bit-hosted platform lists nothing.
    PlatformOverride family(0);
    TStringList list{"kept"};
    EnumComPorts(list);
    EXPECT_EQ(list, TStringList{"kept"});
  }
}

}  // namespace
}  // namespace veltra::engine::test
