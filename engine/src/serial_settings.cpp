// TSerialPort persistence: one string value per property under
// HKEY_CURRENT_USER\<Key>\<Section>. Numbers as decimal text, booleans "0"/"1",
// characters as one-character strings (NUL as an empty string).
#include <optional>
#include <string_view>

#include "engine/integer_text.h"
#include "engine/serial_port.h"
#include "platform/settings/settings_store.h"

namespace veltra::engine {

using platform::SettingsKey;

namespace {

std::string CharText(Char c) {
  return c == 0 ? std::string() : std::string(1, char(c));
}
std::string BoolText(bool b) {
  return b ? "1" : "0";
}
template <typename T>
std::string NumberText(T n) {
  return std::to_string(n);
}

// Stored numbers follow the window's rules, "$" or "0x" marking hexadecimal.
std::optional<std::int32_t> ParseInteger(std::string_view text) {
  return ParseInt32(text, kHexDollar | kHexZeroX);
}

// Stores a value that was read; skipped once a read has failed.
template <typename T, typename Field>
void Load(const std::optional<T>& value, Field& field) {
  if (value) field = *value;
}

}  // namespace

// Reads values of one section. A missing value or one whose text does not parse
// gives the fallback; a failed read gives nullopt, and so does every read after it.
class TSettingsReader {
 public:
  TSettingsReader(SettingsKey& key, const std::string& section) : key_(key), section_(section) {}

  bool Failed() const { return failed_; }

  std::optional<std::string> String(const char* name, const std::string& fallback) {
    auto text = Text(name);
    if (failed_) return std::nullopt;
    return text.value_or(fallback);
  }

  // Stored into the property's width without range checks: "300" as a byte is 44.
  template <typename T>
  std::optional<T> Number(const char* name, T fallback) {
    auto text = Text(name);
    if (failed_) return std::nullopt;
    auto number = text ? ParseInteger(*text) : std::nullopt;
    return number ? static_cast<T>(static_cast<std::uint32_t>(*number)) : fallback;
  }

  std::optional<bool> Bool(const char* name, bool fallback) {
    auto text = Text(name);
    if (failed_) return std::nullopt;
    auto number = text ? ParseInteger(*text) : std::nullopt;
    return number ? *number != 0 : fallback;
  }

  // The first character; #0 for an empty string.
  std::optional<Char> Character(const char* name, Char fallback) {
    auto text = Text(name);
    if (failed_) return std::nullopt;
    if (!text) return fallback;
    return text->empty() ? Char(0) : static_cast<Char>((*text)[0]);
  }

 private:
  std::optional<std::string> Text(const char* name) {
    if (failed_) return std::nullopt;
    std::string value;
    switch (key_.ReadString(section_, name, &value)) {
      case SettingsKey::ReadResult::Found:
        return value;
      case SettingsKey::ReadResult::Missing:
        return std::nullopt;
      case SettingsKey::ReadResult::Failed:
        break;
    }
    failed_ = true;
    return std::nullopt;
  }

  SettingsKey& key_;
  const std::string& section_;
  bool failed_ = false;
};

void TSerialPort::WriteSettings(const std::string& Key, const std::string& Section) {
  std::uint32_t error = 0;
  std::unique_ptr<SettingsKey> key = platform::OpenCurrentUserKey(Key, &error);
  bool ok = key != nullptr;
  auto put = [&](const char* name, const std::string& text) {
    ok = ok && key->WriteString(Section, name, text);
  };
  put("CommPort", FCommPort);
  put("BaudRate", NumberText(FBaudRate.load()));
  put("ParityType", NumberText(FParityType.load()));
  put("ParityErrorChar", CharText(FParityErrorChar));
  put("ParityErrorReplacement", BoolText(FParityErrorReplacement));
  put("StopBits", NumberText(FStopBits.load()));
  put("DataBits", NumberText(FDataBits.load()));
  put("XONChar", CharText(FXONChar));
  put("XOFFChar", CharText(FXOFFChar));
  put("XONLimDiv", NumberText(FXONLimDiv.load()));
  put("XOFFLimDiv", NumberText(FXOFFLimDiv.load()));
  put("FlowControl", NumberText(FFlowControl.load()));
  put("StripNullChars", BoolText(FStripNullChars));
  put("EventChar", CharText(FEventChar));
  put("RTOCharDelayTime", NumberText(FRTOCharDelayTime.load()));
  put("RTOExtraDelayTime", NumberText(FRTOExtraDelayTime.load()));
  put("ClusterSize", NumberText(FClusterSize.load()));
  put("RxQueueSize", NumberText(FRxQueueSize.load()));
  put("TxQueueSize", NumberText(FTxQueueSize.load()));
  put("WTOCharDelayTime", NumberText(FWTOCharDelayTime.load()));
  put("WTOExtraDelayTime", NumberText(FWTOExtraDelayTime.load()));
  put("XTOAuto", BoolText(FXTOAuto));
  put("RTSState", BoolText(FRTSState));
  put("DTRState", BoolText(FDTRState));
  put("BREAKState", BoolText(FBREAKState));
  put("ErrorNoise", NumberText(FErrorNoise.load()));
  put("Active", BoolText(FActive));
  ok = ok && key->Commit();
  if (!ok && key) error = key->LastError();
  key.reset();
  if (ok) {
    ProcessError(501, 0, "Settings saved", 2);
  } else {
    // The OS error says which: a full disk, a read-only file system, a damaged file.
    ProcessError(502, error, "Error saving Settings", 0);
  }
}

void TSerialPort::ReadSettings(const std::string& Key, const std::string& Section) {
  ReadStored(Key, Section, true);
}

void TSerialPort::LoadSettings(const std::string& Key, const std::string& Section) {
  ReadStored(Key, Section, false);
}

void TSerialPort::ReadStored(const std::string& Key, const std::string& Section,
                             bool FollowActive) {
  std::uint32_t error = 0;
  std::unique_ptr<SettingsKey> key = platform::OpenCurrentUserKey(Key, &error);
  bool ok = key != nullptr;
  bool storedActive = false;
  if (ok) {
    TSettingsReader in(*key, Section);
    if (FollowActive) storedActive = in.Bool("Active", false).value_or(false);
    if (!in.Failed()) {
      if (storedActive) {
        if (auto port = in.String("CommPort", "COM2")) SetCommPort(*port);
      } else {
        if (FollowActive) SetActive(false);
        if (auto port = in.String("CommPort", "COM2")) FCommPort = port->substr(0, 255);
      }
    }
    LoadFields(in);
    ok = !in.Failed();
  }
  key.reset();
  if (!ok) {
    // Code 0 for a value of another type, as the registry reports no OS error then.
    ProcessError(402, error, "Error reading Settings", 0);
    return;
  }
  if (FollowActive) SetActive(storedActive);
  ProcessError(401, 0, "Settings readed", 2);
}

// Straight into the fields, bypassing the setters (ParityErrorChar aside): an open
// port keeps its driver state until the next open or a setter that re-applies it.
void TSerialPort::LoadFields(TSettingsReader& in) {
  Load(in.Number<Cardinal>("BaudRate", 9600), FBaudRate);
  Load(in.Number<Byte>("ParityType", 0), FParityType);
  if (auto c = in.Character("ParityErrorChar", 0)) SetParityErrorChar(*c);
  Load(in.Bool("ParityErrorReplacement", false), FParityErrorReplacement);
  Load(in.Number<Byte>("StopBits", 0), FStopBits);
  Load(in.Number<Byte>("DataBits", 8), FDataBits);
  Load(in.Character("XONChar", 17), FXONChar);
  Load(in.Character("XOFFChar", 19), FXOFFChar);
  Load(in.Number<Byte>("XONLimDiv", 33), FXONLimDiv);
  Load(in.Number<Byte>("XOFFLimDiv", 33), FXOFFLimDiv);
  Load(in.Number<Integer>("FlowControl", 0), FFlowControl);
  Load(in.Bool("StripNullChars", false), FStripNullChars);
  Load(in.Character("EventChar", 0), FEventChar);
  Load(in.Number<Cardinal>("RTOCharDelayTime", 1100), FRTOCharDelayTime);
  Load(in.Number<Word>("RTOExtraDelayTime", 250), FRTOExtraDelayTime);
  Load(in.Number<Word>("ClusterSize", 3072), FClusterSize);
  Load(in.Number<Word>("RxQueueSize", 4096), FRxQueueSize);
  Load(in.Number<Word>("TxQueueSize", 4096), FTxQueueSize);
  Load(in.Number<Cardinal>("WTOCharDelayTime", 1100), FWTOCharDelayTime);
  Load(in.Number<Word>("WTOExtraDelayTime", 250), FWTOExtraDelayTime);
  Load(in.Bool("XTOAuto", true), FXTOAuto);
  Load(in.Bool("RTSState", true), FRTSState);
  Load(in.Bool("DTRState", true), FDTRState);
  Load(in.Bool("BREAKState", false), FBREAKState);
  Load(in.Number<Byte>("ErrorNoise", 2), FErrorNoise);
}

}  // namespace veltra::engine
