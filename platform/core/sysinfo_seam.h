// Test seam for the version query: lets a test pose as another platform family
// (for example 1, VER_PLATFORM_WIN32_WINDOWS, whose drivers never report EV_RING).
#pragma once

#include <cstdint>
#include <optional>

namespace veltra::platform {

// From now on GetVersionExA reports this dwPlatformId; std::nullopt restores the
// real one. Affects the whole process.
void OverridePlatformIdForTests(std::optional<std::uint32_t> platformId);

}  // namespace veltra::platform
