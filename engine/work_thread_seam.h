// Test seam for the worker's idle sleep: a test that proves opening wakes the idle
// worker stretches the sleep far past any scheduling delay.
#pragma once

#include <chrono>
#include <optional>

namespace veltra::engine {

// From now on an idle worker looks at Active this often; std::nullopt restores the
// normal 200 ms. Affects the whole process.
void OverrideIdleSleepForTests(std::optional<std::chrono::milliseconds> sleep);

}  // namespace veltra::engine
