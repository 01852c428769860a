#include "platform/core/open_failure.h"

#include <utility>

namespace veltra::platform {

namespace {
thread_local std::string lastOpenFailure;
}

std::string LastOpenFailureText() {
  return lastOpenFailure;
}

void SetLastOpenFailureText(std::string text) {
  lastOpenFailure = std::move(text);
}

}  // namespace veltra::platform
