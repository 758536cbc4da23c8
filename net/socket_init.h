// Starts the socket library once per process (WinSock 1.1, as AfxSocketInit asks for). Nothing to do
// elsewhere. True when sockets can be used.
#pragma once

namespace NetModel {

bool InitSockets();

}  // namespace NetModel
