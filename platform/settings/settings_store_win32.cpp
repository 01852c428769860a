// The settings store on Windows: the registry under HKEY_CURRENT_USER.
#include "platform/core/windows_lean.h"

#include "platform/settings/settings_store.h"

namespace veltra::platform {

namespace {

class RegistrySettingsKey final : public SettingsKey {
 public:
  explicit RegistrySettingsKey(HKEY key) : key_(key) {}
  ~RegistrySettingsKey() override { RegCloseKey(key_); }

  ReadResult ReadString(const std::string& section, const std::string& name,
                        std::string* value) override {
    DWORD type = 0, size = 0;
    LONG rc = RegGetValueA(key_, Sub(section), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type,
                           nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return ReadResult::Missing;
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return ReadResult::Failed;
    }
    std::string data(size, '\0');
    rc = RegGetValueA(key_, Sub(section), name.c_str(),
                      RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, data.data(),
                      &size);
    if (rc != ERROR_SUCCESS) return ReadResult::Failed;
    *value = data.substr(0, data.find('\0'));
    return ReadResult::Found;
  }

  bool WriteString(const std::string& section, const std::string& name,
                   const std::string& value) override {
    // Written with its terminating NUL, as REG_SZ values are.
    lastError_ = static_cast<DWORD>(RegSetKeyValueA(key_, Sub(section), name.c_str(), REG_SZ,
                                                    value.c_str(),
                                                    static_cast<DWORD>(value.size() + 1)));
    return lastError_ == ERROR_SUCCESS;
  }

  bool Commit() override { return true; }  // the registry writes through
  std::uint32_t LastError() const override { return lastError_; }

 private:
  static const char* Sub(const std::string& section) {
    return section.empty() ? nullptr : section.c_str();
  }
  HKEY key_;
  DWORD lastError_ = ERROR_SUCCESS;
};

}  // namespace

std::string SettingsLocation(const std::string& keyPath) {
  return "HKEY_CURRENT_USER\\" + keyPath;
}

std::unique_ptr<SettingsKey> OpenCurrentUserKey(const std::string& keyPath,
                                                std::uint32_t* error) {
  HKEY key = nullptr;
  const LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (error != nullptr) *error = static_cast<std::uint32_t>(rc);
  if (rc != ERROR_SUCCESS) return nullptr;
  return std::make_unique<RegistrySettingsKey>(key);
}

}  // namespace veltra::platform
