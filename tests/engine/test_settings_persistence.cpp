// WriteSettings / ReadSettings through the file store in a temporary
// XDG_CONFIG_HOME: round trips, defaults, the file's layout, and files that must
// not be lost.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/settings/settings_store.h"
#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

namespace fs = std::filesystem;

const std::string kKey = "Software\\Orvane\\Veltra";

// Every stored property, as one comparable text.
std::string Snapshot(const TSerialPort& p) {
  std::ostringstream s;
  s << p.CommPort() << '|' << p.BaudRate() << '|' << +p.ParityType() << '|' << +p.ParityErrorChar()
    << '|' << p.ParityErrorReplacement() << '|' << +p.StopBits() << '|' << +p.DataBits() << '|'
    << +p.XONChar() << '|' << +p.XOFFChar() << '|' << +p.XONLimDiv() << '|' << +p.XOFFLimDiv()
    << '|' << p.FlowControl() << '|' << p.StripNullChars() << '|' << +p.EventChar() << '|'
    << p.RTOCharDelayTime() << '|' << p.RTOExtraDelayTime() << '|' << p.ClusterSize() << '|'
    << p.RxQueueSize() << '|' << p.TxQueueSize() << '|' << p.WTOCharDelayTime() << '|'
    << p.WTOExtraDelayTime() << '|' << p.XTOAuto() << '|' << p.RTSState() << '|' << p.DTRState()
    << '|' << p.BREAKState() << '|' << +p.ErrorNoise() << '|' << p.Active();
  return s.str();
}

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
    std::stringstream text;
    text << std::ifstream(File(), std::ios::binary).rdbuf();
    return text.str();
  }
  void WriteFile(const std::string& text) const {
    fs::create_directories(File().parent_path());
    std::ofstream(File(), std::ios::binary) << text;
  }
  void WriteSection(const std::string& lines) const {
    WriteFile("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra\\ComTest1]\n" + lines);
  }
  std::string Last() const { return log.reports.empty() ? "" : log.reports.back().msg; }
};

TEST_F(Settings, RoundTripRestoresEveryProperty) {
  port.SetCommPort("tty\"odd\\name");
  port.SetBaudRate(115000);
  port.SetParityType(2);
  port.SetParityErrorReplacement(true);
  port.SetStopBits(2);
  port.SetDataBits(7);
  port.SetXONChar(19);  // the flow characters swapped: no default can pass
  port.SetXOFFChar(17);
  port.SetXONLimDiv(80);
  port.SetFlowControl(0x2004);
  port.SetStripNullChars(true);
  port.SetEventChar(0xE9);
  port.SetXTOAuto(false);
  port.SetRTOCharDelayTime(123456);
  port.SetWTOExtraDelayTime(88);
  port.SetClusterSize(10);
  port.SetErrorNoise(3);
  port.WriteSettings(kKey, "ComTest1");
  EXPECT_EQ(log.reports.back(), (Report{501, 0, "Settings saved", 2}));

  TSerialPort loaded(owner);
  loaded.SetParityErrorChar('x');  // #0 must come back as #0
  ReportLog loadedLog;
  loadedLog.Attach(loaded);
  loaded.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(loadedLog.reports.back(), (Report{401, 0, "Settings readed", 2}));
  EXPECT_EQ(Snapshot(loaded), Snapshot(port));
}

TEST_F(Settings, FileHasTheRegistryLayout) {
  port.SetCommPort("COM7");
  port.WriteSettings(kKey, "ComTest2");
  port.SetCommPort("COM8");
  port.WriteSettings(kKey, "ComTest1");
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra]\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra\\ComTest1]\n"
                      "\"CommPort\"=\"COM8\"\n\"BaudRate\"=\"9600\"\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"CommPort\"=\"COM7\""), std::string::npos);  // the other section stays
  EXPECT_NE(text.find("\"XONChar\"=hex(1):11,00\n"), std::string::npos);
  EXPECT_NE(text.find("\"EventChar\"=\"\"\n"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(File().parent_path()), {}), 1);  // no temp left
}

TEST_F(Settings, MissingOrUnparsableValuesFallBack) {
  port.SetErrorNoise(255);
  port.ReadSettings(kKey, "NoSuchSection");
  EXPECT_EQ(Last(), "Settings readed");
  TSerialPort fresh(owner);
  fresh.SetErrorNoise(2);
  fresh.SetCommPort("COM2");
  EXPECT_EQ(Snapshot(port), Snapshot(fresh));
  EXPECT_FALSE(fs::exists(File()));  // reading creates no file

  WriteSection(
      "\"BaudRate\"=\"abc\"\n\"ParityType\"=\"300\"\n\"XTOAuto\"=\"yes\"\n"
      "\"RTSState\"=\"0\"\n\"FlowControl\"=\"$380\"\n\"XONChar\"=\"AB\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(port.BaudRate(), 9600u);
  EXPECT_EQ(port.ParityType(), 44);  // the low byte of 300
  EXPECT_TRUE(port.XTOAuto());
  EXPECT_FALSE(port.RTSState());
  EXPECT_EQ(port.FlowControl(), 0x380);
  EXPECT_EQ(port.XONChar(), 'A');

  // One sign, then digits, within 32 bits: anything else falls back, never wraps.
  for (const char* bad :
       {"--9223372036854775808", "$-5", "+-7", "0x-3", "--5", "$FFFFFFFF", "4294967296", "$"}) {
    SCOPED_TRACE(bad);
    WriteSection(std::string("\"DataBits\"=\"") + bad + "\"\n\"FlowControl\"=\"" + bad + "\"\n");
    port.ReadSettings(kKey, "ComTest1");
    EXPECT_EQ(Last(), "Settings readed");
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.FlowControl(), 0);
  }
  WriteSection("\"DataBits\"=\" -$7FFFFFF9\"\n\"FlowControl\"=\"-2147483648\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(port.DataBits(), 7);  // the low byte of -0x7FFFFFF9
  EXPECT_EQ(port.FlowControl(), -2147483647 - 1);
}

TEST_F(Settings, ValueOfAnotherTypeStopsTheLoad) {
  Cable pair;
  WriteSection("\"Active\"=\"1\"\n\"CommPort\"=\"" + pair.near +
               "\"\n\"BaudRate\"=dword:00002580\n\"DataBits\"=\"7\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(log.reports.back(), (Report{402, 0, "Error reading Settings", 0}));
  EXPECT_EQ(port.CommPort(), pair.near);  // read before the failure
  EXPECT_EQ(port.DataBits(), 8);          // skipped after it
  EXPECT_FALSE(port.Active());            // the stored state is not applied
}

TEST_F(Settings, StoredActiveOpensThePortWithTheLoadedSettings) {
  Cable pair;
  const std::string open = "\"Active\"=\"1\"\n\"CommPort\"=\"" + pair.near + "\"\n";
  WriteSection(open + "\"BaudRate\"=\"4800\"\n");
  port.ReadSettings(kKey, "ComTest1");
  ASSERT_TRUE(port.Active());
  win::DCB dcb;
  ASSERT_TRUE(win::GetCommState(port.ComHandle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 4800u);

  // Already open: the values load but the driver keeps its state.
  WriteSection(open + "\"BaudRate\"=\"2400\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_EQ(port.BaudRate(), 2400u);
  ASSERT_TRUE(win::GetCommState(port.ComHandle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 4800u);

  WriteSection("\"Active\"=\"0\"\n");
  port.ReadSettings(kKey, "ComTest1");
  EXPECT_FALSE(port.Active());

  // A flow limit past the queue is refused by the driver, not quietly disabled.
  WriteSection(open + "\"XONLimDiv\"=\"250\"\n");
  port.ReadSettings(kKey, "ComTest1");
  ASSERT_TRUE(port.Active());
  ASSERT_NE(log.Find("Error setting CommState, 87 indicate that Parms are incorrect"), nullptr);
  EXPECT_EQ(log.Find("Error setting CommState, 87 indicate that Parms are incorrect")->code, 87u);
}

TEST_F(Settings, LoadSettingsNeverOpensThePort) {
  Cable pair;
  WriteSection("\"Active\"=\"1\"\n\"CommPort\"=\"" + pair.near + "\"\n\"BaudRate\"=\"4800\"\n");
  port.LoadSettings(kKey, "ComTest1");
  EXPECT_EQ(log.reports.back(), (Report{401, 0, "Settings readed", 2}));
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.CommPort(), pair.near);
  EXPECT_EQ(port.BaudRate(), 4800u);
}

// A file that cannot be read whole, a cut line included, fails the read and is
// never written over, so nothing in it is silently lost.
TEST_F(Settings, DamagedFileIsReportedAndLeftAlone) {
  const std::string header =
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra\\ComTest1]\n";
  std::vector<std::string> damaged = {std::string("garbage\x01\x02 not a registry file"),
                                      std::string(), "[HKEY_CURRENT_USER\\Soft"};
  for (const char* torn : {"\"CommPort\"=\"CO", "\"A\"=hex(1):4g,00", "\"XONChar\"=hex(1):1",
                           "\"XONChar\"=hex(1):", "\"XONChar\"=hex(1):11",
                           "\"XONChar\"=hex(1):11,0", "\"A\"=hex(", "\"A\"=hex(1", "\"A\"=hex(1)",
                           "\"A\"=dword:0000", "\"A\"=hex(1):41,\\\n", "\"A\"=", "\"A\""})
    damaged.push_back(header + "\"BaudRate\"=\"300\"\n" + torn);
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text);
    WriteFile(text);
    port.SetBaudRate(19200);
    port.ReadSettings(kKey, "ComTest1");
    EXPECT_EQ(log.reports.back(), (Report{402, 1015, "Error reading Settings", 0}));
    EXPECT_EQ(port.BaudRate(), 19200u);
    port.WriteSettings(kKey, "ComTest1");
    EXPECT_EQ(log.reports.back(), (Report{502, 1015, "Error saving Settings", 0}));
    EXPECT_EQ(FileText(), text);
  }
  // A file where the key's directory belongs: the OS error comes with the report.
  fs::remove_all(home / "Orvane");
  fs::create_directories(home / "Orvane");
  std::ofstream(home / "Orvane" / "Veltra") << "x";
  port.WriteSettings(kKey, "ComTest1");
  EXPECT_EQ(log.reports.back(), (Report{502, 2, "Error saving Settings", 0}));
}

// Not a regular file, or far too large: reported at once, without blocking on a
// FIFO or reading a device without end.
TEST_F(Settings, OnlyARegularFileOfSaneSizeIsRead) {
  fs::create_directories(File().parent_path());
  auto readAndSave = [&](const char* what) {
    SCOPED_TRACE(what);
    const auto start = std::chrono::steady_clock::now();
    port.ReadSettings(kKey, "ComTest1");
    EXPECT_EQ(log.reports.back(), (Report{402, 1015, "Error reading Settings", 0}));
    port.WriteSettings(kKey, "ComTest1");
    EXPECT_EQ(log.reports.back(), (Report{502, 1015, "Error saving Settings", 0}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  };
  ASSERT_EQ(::mkfifo(File().c_str(), 0600), 0);
  readAndSave("a FIFO");
  EXPECT_TRUE(fs::is_fifo(File()));
  fs::remove(File());
  fs::create_symlink("/dev/zero", File());
  readAndSave("a link to /dev/zero");
  EXPECT_TRUE(fs::is_symlink(File()));
  fs::remove(File());
  WriteFile("REGEDIT4\n" + std::string(platform::kMaxSettingsFileSize, '\n'));
  readAndSave("a file past the size limit");
  EXPECT_EQ(fs::file_size(File()), platform::kMaxSettingsFileSize + 9);
}

// Every byte of a value survives load and save, a NUL included.
TEST_F(Settings, ValuesKeepEveryByteAcrossSaves) {
  using namespace std::string_literals;
  WriteSection("\"A\"=\"\0B\"\n\"C\"=hex(1):41,00,0d,00\n"s);
  for (int round = 0; round < 2; ++round) {
    auto key = platform::OpenCurrentUserKey(kKey);
    ASSERT_NE(key, nullptr);
    std::string value;
    ASSERT_EQ(key->ReadString("ComTest1", "A", &value), platform::SettingsKey::ReadResult::Found);
    EXPECT_EQ(value, "") << "read up to its NUL, as the registry gives it";
    EXPECT_TRUE(key->WriteString("ComTest1", "D", "d" + std::to_string(round)));
    ASSERT_TRUE(key->Commit());
    EXPECT_NE(FileText().find("\"A\"=hex(1):00,42,00\n\"C\"=hex(1):41,00,0d,00\n"),
              std::string::npos);
  }
}

TEST_F(Settings, StoreReadsRegeditForms) {
  WriteSection(
      "; comment\r\n\"A\"=hex(1):41,42,\\\n  43,00\r\n@=\"default\"\n"
      "\"B\"=hex(2):7a,00\n\"C\"=hex:01,02\n");
  auto key = platform::OpenCurrentUserKey(kKey);
  ASSERT_NE(key, nullptr);
  std::string value;
  using R = platform::SettingsKey::ReadResult;
  EXPECT_EQ(key->ReadString("comtest1", "a", &value), R::Found);  // names ignore case
  EXPECT_EQ(value, "ABC");
  EXPECT_EQ(key->ReadString("ComTest1", "", &value), R::Found);
  EXPECT_EQ(value, "default");
  EXPECT_EQ(key->ReadString("ComTest1", "B", &value), R::Found);
  EXPECT_EQ(key->ReadString("ComTest1", "C", &value), R::Failed);
  EXPECT_EQ(key->ReadString("ComTest1", "D", &value), R::Missing);
  EXPECT_TRUE(key->WriteString("ComTest1", "D", "d"));
  EXPECT_TRUE(key->Commit());
  EXPECT_NE(FileText().find("\"C\"=hex:01,02\n"), std::string::npos);  // kept on rewrite
}

}  // namespace
}  // namespace veltra::engine::test
