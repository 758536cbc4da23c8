#include <signal.h>

#include "platform/socket_startup.h"

namespace platform {

bool StartSockets() {
  signal(SIGPIPE, SIG_IGN);
  return true;
}

}  // namespace platform
