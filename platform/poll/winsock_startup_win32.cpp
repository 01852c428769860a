#include <winsock2.h>

#include "platform/poll/winsock_startup.h"

namespace veltra::platform {

int StartWinsock() {
  static const int result = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return result;
}

}  // namespace veltra::platform
