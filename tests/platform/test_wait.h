// Polls a condition until it holds or the deadline passes: every millisecond, or at
// a slower pace for conditions that cost something to look at (a daemon's answer).
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace veltra::test {

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(3000),
                      std::chrono::milliseconds poll = std::chrono::milliseconds(1)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace veltra::test
