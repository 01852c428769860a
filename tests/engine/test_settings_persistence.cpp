// WriteSettings / ReadSettings through the file store in a temporary
// XDG_CONFIG_HOME: round trips, defaults, the file's layout, and files that must
// not be lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/settings_store.h"
#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

namespace fs = std::filesystem;

const std::string kKey = "Software\\Orvane\\Veltra";

class Settings : public ::testing::Test {
 protected:
  fs::path home;
  TOwnerCallQueue owner;
  TSerialPort port{owner};
  ReportLog log;

  void SetUp() override {
    std::string dir = (fs::temp_directory_path() / "veltra-settings-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    home = dir;
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    log.Attach(port);
  }
  void TearDown() override {
    ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(home);
  }
  fs::path File() const { return home / "Orvane" / "Veltra" / "registry.reg"; }
  std::string FileText() const {
    std::ifstream in(File(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteFile(const std::string& text) const {
    fs::create_directories(File().parent_path());
    std::ofstream(File(), std::ios::binary) << text;
  }
  // A ComTest1 section holding the given value lines.
  void WriteSection(const std::string& lines) const {
    WriteFile("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra\\ComTest1]\n" + lines);
  }
  std::string LastMessage() const { return log.reports.empty() ? "" : log.reports.back().msg; }
};

TEST_F(Settings, RoundTripRestoresEveryProperty) {
  port.SetCommPort("tty\"odd\\name");
  port.SetBaudRate(115000);
  port.SetParityType(2);
  port.SetParityErrorChar(0);
  port.SetParityErrorReplacement(true);
  port.SetStopBits(2);
  port.SetDataBits(7);
  port.SetXONChar(19);  // the two flow characters swapped: no default can pass
  port.SetXOFFChar(17);
  port.SetXONLimDiv(80);
  port.SetXOFFLimDiv(10);
  port.SetFlowControl(0x2004);
  port.SetStripNullChars(true);
  port.SetEventChar(0xE9);
  port.SetXTOAuto(false);
  port.SetRTOCharDelayTime(123456);
  port.SetRTOExtraDelayTime(77);
  port.SetWTOCharDelayTime(654321);
  port.SetWTOExtraDelayTime(88);
  port.SetClusterSize(10);
  port.SetErrorNoise(3);
  port.WriteSettings(kKey, "ComTest1");
  EXPECT_EQ(log.reports.back().place, 501u);
  EXPECT_EQ(LastMessage(), "Settings saved");

  TSerialPort loaded(owner);
  loaded.SetParityErrorChar('x');
  loaded.SetEventChar('y');
  ReportLog loadedLog;
  loadedLog.Attach(loaded);
  loaded.ReadSettings(kKey, "ComTest1");
  ASSERT_EQ(loadedLog.reports.back().msg, "Settings readed");
  EXPECT_EQ(loadedLog.reports.back().place, 401u);
  EXPECT_EQ(loaded.CommPort(), "tty\"odd\\name");
  EXPECT_EQ(loaded.BaudRate(), 115000u);
  EXPECT_EQ(loaded.ParityType(), 2);
  EXPECT_EQ(loaded.ParityErrorChar(), 0);
  EXPECT_TRUE(loaded.ParityErrorReplacement());
  EXPECT_EQ(loaded.StopBits(), 2);
  EXPECT_EQ(loaded.DataBits(), 7);
  EXPECT_EQ(loaded.XONChar(), 19);
  EXPECT_EQ(loaded.XOFFChar(), 17);
  EXPECT_EQ(loaded.XONLimDiv(), 80);
  EXPECT_EQ(loaded.XOFFLimDiv(), 10);
  EXPECT_EQ(loaded.FlowControl(), 0x2004);
  EXPECT_TRUE(loaded.StripNullChars());
  EXPECT_EQ(loaded.EventChar(), 0xE9);
  EXPECT_FALSE(loaded.XTOAuto());
  EXPECT_EQ(loaded.RTOCharDelayTime(), 123456u);
  EXPECT_EQ(loaded.RTOExtraDelayTime(), 77);
  EXPECT_EQ(loaded.WTOCharDelayTime(), 654321u);
  EXPECT_EQ(loaded.WTOExtraDelayTime(), 88);
  EXPECT_EQ(loaded.ClusterSize(), 10);
  EXPECT_EQ(loaded.ErrorNoise(), 3);
  EXPECT_FALSE(loaded.Active());
}

TEST_F(Settings, FileHasTheRegistryLayout) {
  port.SetCommPort("COM7");
  port.WriteSettings(kKey, "ComTest2");
  port.SetCommPort("COM8");
  port.WriteSettings(kKey, "ComTest1");
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra\\ComTest1]\n"
                      "\"CommPort\"=\"COM8\"\n\"BaudRate\"=\"9600\"\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"CommPort\"=\"COM7\""), std::string::npos);  // the other section stays
  EXPECT_NE(text.find("\"XONChar\"=hex(1):11,00\n"), std::string::npos);
  EXPECT_NE(text.find("\"EventChar\"=\"\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Active\"=\"0\"\n"), std::string::npos);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(File().parent_path()), {}), 1);
}

TEST_F(Settings, MissingSectionGivesDefaults) {
  port.SetCommPort("COM1");
  port.SetErrorNoise(255);
  port.SetXONChar(1);
  port.ReadSettings(kKey, "NoSuchSection");
  EXPECT_EQ(LastMessage(), "Settings readed");
  EXPECT_EQ(port.CommPort(), "COM2");
  EXPECT_EQ(port.XONChar(), 17);
  EXPECT_EQ(port.ErrorNoise(), 2);
  EXPECT_EQ(port.RxQueueSize(), 4096);
  EXPECT_TRUE(port.XTOAuto());
  EXPECT_FALSE(port.Active());
  EXPECT_FALSE(fs::exists(File()));  // reading creates no file
}

TEST_F(Settings, UnparsableTextsFallBackAndNumbersKeepTheirWidth) {
  WriteSection(
      "\"BaudRate\"=\"abc\"\n\"ParityType\"=\"300\"\n\"XTOAuto\"=\"yes\"\n"
      "\"RTSState\"=\"0\"\n\"FlowControl\"=\"$380\"\n\"XONChar\"=\"AB\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(LastMessage(), "Settings readed");
  EXPECT_EQ(port.BaudRate(), 9600u);
  EXPECT_EQ(port.ParityType(), 44);
  EXPECT_TRUE(port.XTOAuto());
  EXPECT_FALSE(port.RTSState());
  EXPECT_EQ(port.FlowControl(), 0x380);
  EXPECT_EQ(port.XONChar(), 'A');
  EXPECT_EQ(port.ErrorNoise(), 2);
}

TEST_F(Settings, ValueOfAnotherTypeStopsTheLoad) {
  VirtualPair pair;
  WriteSection("\"Active\"=\"1\"\n\"CommPort\"=\"" + pair.a +
               "\"\n\"BaudRate\"=dword:00002580\n\"DataBits\"=\"7\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(log.reports.back().place, 402u);
  EXPECT_EQ(LastMessage(), "Error reading Settings");
  EXPECT_EQ(port.CommPort(), pair.a);  // read before the failure
  EXPECT_EQ(port.DataBits(), 8);       // skipped after it
  EXPECT_FALSE(port.Active());         // the stored state is not applied
}

TEST_F(Settings, StoredActiveOpensThePortWithTheLoadedSettings) {
  VirtualPair pair;
  WriteSection("\"Active\"=\"1\"\n\"CommPort\"=\"" + pair.a + "\"\n\"BaudRate\"=\"4800\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(LastMessage(), "Settings readed");
  ASSERT_TRUE(port.Active());
  win::DCB dcb;
  ASSERT_TRUE(win::GetCommState(port.ComHandle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 4800u);

  // Already open: the values load but the driver keeps its state.
  WriteSection("\"Active\"=\"1\"\n\"CommPort\"=\"" + pair.a + "\"\n\"BaudRate\"=\"2400\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(port.BaudRate(), 2400u);
  ASSERT_TRUE(win::GetCommState(port.ComHandle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 4800u);

  // Stored inactive closes the port.
  WriteSection("\"Active\"=\"0\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_FALSE(port.Active());
}

TEST_F(Settings, DamagedFileIsReportedAndLeftAlone) {
  for (const std::string& damaged :
       {std::string("garbage\x01\x02 not a registry file"),
        std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra\\ComTest1]\n"
                    "\"CommPort\"=\"CO"),
        std::string()}) {
    WriteFile(damaged);
    log.reports.clear();
    port.SetBaudRate(19200);
    port.ReadSettings(kKey, "ComTest1");
    EXPECT_EQ(LastMessage(), "Error reading Settings");
    EXPECT_EQ(port.BaudRate(), 19200u);
    port.WriteSettings(kKey, "ComTest1");
    EXPECT_EQ(LastMessage(), "Error saving Settings");
    EXPECT_EQ(log.reports.back().place, 502u);
    EXPECT_EQ(FileText(), damaged);
  }
}

TEST_F(Settings, UnwritablePlaceReportsASaveError) {
  fs::create_directories(home / "Orvane");
  std::ofstream(home / "Orvane" / "Veltra") << "a file where the directory should be";
  port.WriteSettings(kKey, "ComTest1");
  EXPECT_EQ(LastMessage(), "Error saving Settings");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(LastMessage(), "Error reading Settings");
}

TEST_F(Settings, StoreReadsRegeditForms) {
  WriteSection(
      "; a comment\r\n\"A\"=hex(1):41,42,\\\n  43,00\r\n@=\"default\"\n\"B\"=hex(2):7a,00\n"
      "\"C\"=hex:01,02\n");
  auto key = platform::OpenCurrentUserKey(kKey);
  ASSERT_NE(key, nullptr);
  std::string value;
  using R = platform::SettingsKey::ReadResult;
  EXPECT_EQ(key->ReadString("ComTest1", "a", &value), R::Found);  // names ignore case
  EXPECT_EQ(value, "ABC");
  EXPECT_EQ(key->ReadString("COMTEST1", "", &value), R::Found);
  EXPECT_EQ(value, "default");
  EXPECT_EQ(key->ReadString("ComTest1", "B", &value), R::Found);
  EXPECT_EQ(value, "z");
  EXPECT_EQ(key->ReadString("ComTest1", "C", &value), R::Failed);
  EXPECT_EQ(key->ReadString("ComTest1", "D", &value), R::Missing);
  // Values of other types survive a rewrite.
  EXPECT_TRUE(key->WriteString("ComTest1", "D", "d"));
  EXPECT_TRUE(key->Commit());
  EXPECT_NE(FileText().find("\"C\"=hex:01,02\n"), std::string::npos);
}

}  // namespace
}  // namespace veltra::engine::test
