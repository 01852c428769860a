// Settings in the Windows registry: every property survives a save and a load, the
// parity-error character #0 and flow characters included. A key of its own, so a
// run on a real machine leaves the user's settings alone.
#include <gtest/gtest.h>

#include <sstream>

#include "engine/serial_port.h"
#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

constexpr const char* kTestKey = "Software\\Orvane\\VeltraTests";

std::string Snapshot(const TSerialPort& p) {
  std::ostringstream s;
  s << p.CommPort() << '|' << p.BaudRate() << '|' << +p.ParityType() << '|' << +p.ParityErrorChar()
    << '|' << p.ParityErrorReplacement() << '|' << +p.StopBits() << '|' << +p.DataBits() << '|'
    << +p.XONChar() << '|' << +p.XOFFChar() << '|' << +p.XONLimDiv() << '|' << p.FlowControl()
    << '|' << p.StripNullChars() << '|' << +p.EventChar() << '|' << p.RTOCharDelayTime() << '|'
    << p.WTOExtraDelayTime() << '|' << p.ClusterSize() << '|' << +p.ErrorNoise();
  return s.str();
}

TEST(RegistrySettings, RoundTripRestoresEveryProperty) {
  TOwnerCallQueue owner;
  for (const Char parityErrorChar : {Char(0), Char('?')}) {
    TSerialPort port(owner);
    ReportLog log;
    log.Attach(port);
    port.SetCommPort("\\\\.\\COM10");
    port.SetBaudRate(115000);
    port.SetParityType(2);
    port.SetParityErrorChar(parityErrorChar);
    port.SetStopBits(2);
    port.SetDataBits(7);
    port.SetXONChar(19);  // the flow characters swapped: no default can pass
    port.SetXOFFChar(17);
    port.SetXONLimDiv(80);
    port.SetFlowControl(0x2004);
    port.SetStripNullChars(true);
    port.SetEventChar(0xE9);
    port.SetRTOCharDelayTime(123456);
    port.SetWTOExtraDelayTime(88);
    port.SetClusterSize(10);
    port.SetErrorNoise(3);
    port.WriteSettings(kTestKey, "ComTest1");
    ASSERT_EQ(log.reports.back(), (Report{501, 0, "Settings saved", 2}));

    TSerialPort loaded(owner);
    loaded.SetParityErrorChar('x');
    ReportLog loadedLog;
    loadedLog.Attach(loaded);
    loaded.ReadSettings(kTestKey, "ComTest1");
    EXPECT_EQ(loadedLog.reports.back(), (Report{401, 0, "Settings readed", 2}));
    EXPECT_EQ(Snapshot(loaded), Snapshot(port));
  }
}

}  // namespace
}  // namespace veltra::engine::test
