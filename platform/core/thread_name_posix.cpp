#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/core/thread_name.h"

namespace veltra::platform {

void NameCurrentThread(const char* name) {
  constexpr std::size_t kMaxLength = 15;  // Linux keeps 16 bytes with the terminator
  const std::string cut(name, std::min(std::strlen(name), kMaxLength));
  pthread_setname_np(pthread_self(), cut.c_str());
}

}  // namespace veltra::platform
