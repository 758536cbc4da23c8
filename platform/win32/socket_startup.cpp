#include <winsock2.h>
#include <windows.h>

#include "platform/socket_startup.h"

namespace platform {

bool StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

}  // namespace platform
