// Port enumeration into a caller's list, and the version query behind PlatformID.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "engine/comm_port_list.h"
#include "platform/core/sysinfo_seam.h"
#include "platform/discovery/port_enum.h"
#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(EnumComPorts, AppendsEachDeviceOnceLeavingVirtualPortsOut) {
  Cable pair;
  const std::vector<std::string> devices = platform::ListSerialDevices();
  TStringList list{"first"};
  // A device already listed in another case is not added again.
  if (!devices.empty()) list.push_back(Upper(devices.front()));
  const TStringList before = list;
  EnumComPorts(list);
  EnumComPorts(list);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), list.begin()));
  EXPECT_EQ(list.size(), 1 + devices.size());
  EXPECT_EQ(std::count(list.begin(), list.end(), pair.near), 0);
}

TEST(QueryOSVersion, ReportsThePlatformFamily) {
  win::OSVERSIONINFOA info;
  info.dwOSVersionInfoSize = 0;  // the query sets the size itself
  EXPECT_EQ(QueryOSVersion(info), 2);
  EXPECT_EQ(info.dwOSVersionInfoSize, 148u);

  TOwnerCallQueue owner;
  platform::OverridePlatformIdForTests(1);
  EXPECT_EQ(TSerialPort(owner).PlatformID(), 1);
  platform::OverridePlatformIdForTests(0);  // a 16-bit-hosted platform lists nothing
  TStringList list{"kept"};
  EnumComPorts(list);
  platform::OverridePlatformIdForTests(std::nullopt);
  EXPECT_EQ(list, TStringList{"kept"});
}

}  // namespace
}  // namespace veltra::engine::test
