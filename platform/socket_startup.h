// Starting the socket library once per process (AfxSocketInit asks WinSock for version 1.1).
// Elsewhere sockets need no start-up; SIGPIPE is ignored so that a closed peer shows as an error.
#pragma once

namespace platform {

bool StartSockets();

}  // namespace platform
