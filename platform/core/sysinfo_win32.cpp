// GetVersionExA on Windows: the system's answer, or the family a test poses as.
#include "platform/core/comm_api.h"
#include "platform/core/sysinfo_seam.h"

#include "platform/core/windows_lean.h"

#include <atomic>

namespace veltra::platform {
namespace {
std::atomic<long long> g_platformOverride{-1};
}  // namespace

void OverridePlatformIdForTests(std::optional<std::uint32_t> platformId) {
  g_platformOverride.store(platformId ? static_cast<long long>(*platformId) : -1);
}

}  // namespace veltra::platform

namespace veltra::win {

static_assert(sizeof(OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA));

// Deprecated, yet the one call that reports the platform family.
#if defined(_MSC_VER)
#pragma warning(disable : 4996)
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
BOOL GetVersionExA(OSVERSIONINFOA* info) {
  const BOOL ok = ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info));
  if (!ok) SetLastError(static_cast<DWORD>(::GetLastError()));
  const long long forced = platform::g_platformOverride.load();
  if (ok && forced >= 0) info->dwPlatformId = static_cast<DWORD>(forced);
  return ok;
}
#if !defined(_MSC_VER)
#pragma GCC diagnostic pop
#endif

}  // namespace veltra::win
