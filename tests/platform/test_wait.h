// Polls a condition every millisecond until it holds or the deadline passes.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace veltra::test {

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(3000)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace veltra::test
