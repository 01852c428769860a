// GetVersionExA for POSIX: a current system of the NT family, with the kernel's
// release as major and minor version.
#include <sys/utsname.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/core/comm_api.h"
#include "platform/core/sysinfo_seam.h"

namespace veltra::platform {
namespace {

// Above 0xFFFFFFFF: no override.
std::atomic<std::uint64_t> g_platformOverride{~std::uint64_t{0}};

}  // namespace

void OverridePlatformIdForTests(std::optional<std::uint32_t> platformId) {
  g_platformOverride.store(platformId ? *platformId : ~std::uint64_t{0});
}

}  // namespace veltra::platform

namespace veltra::win {

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  constexpr DWORD kSizeOfAnsiRecord = 148;
  if (info == nullptr || info->dwOSVersionInfoSize != kSizeOfAnsiRecord) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  utsname name{};
  unsigned major = 0, minor = 0, patch = 0;
  if (uname(&name) == 0) std::sscanf(name.release, "%u.%u.%u", &major, &minor, &patch);
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = patch;
  const std::uint64_t forced = platform::g_platformOverride.load();
  info->dwPlatformId = forced <= 0xFFFFFFFFu ? static_cast<DWORD>(forced) : VER_PLATFORM_WIN32_NT;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}

}  // namespace veltra::win
