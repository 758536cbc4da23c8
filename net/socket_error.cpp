#include "net/socket_error.h"

#include <cstdio>

namespace NetModel {

std::string SocketErrorTextFor(int code) {
  switch (code) {
    case kWsaEIntr:
      return "Blocking call cancelled";
    case kWsaEInval:
      return "app version not supported by DLL";
    case kWsaEMFile:
      return "no file descriptors available";
    case kWsaEWouldBlock:
      return "socket marked as non-blocking and SO_LINGER set not 0";
    case kWsaEInProgress:
      return "Blocking operation in progress";
    case kWsaENotSock:
      return "descriptor is not a socket";
    case kWsaEProtoType:
      return "protocol wrong type for this socket";
    case kWsaEProtoNoSupport:
      return "specified protocol not supported";
    case kWsaESocktNoSupport:
      return "socket type not supported for address family";
    case kWsaEAfNoSupport:
      return "address family not supported";
    case kWsaEAddrInUse:
      return "address already in use";
    case kWsaEAddrNotAvail:
      return "address not available";
    case kWsaENetDown:
      return "Network subsystem failed";
    case kWsaEConnAborted:
      return "connection aborted";
    case kWsaEConnReset:
      return "connection reset";
    case kWsaENoBufs:
      return "no buffer space available";
    case kWsaENotConn:
      return "not connected";
    case kWsaETimedOut:
      return "connection timed out";
    case kWsaEConnRefused:
      return "connection refused";
    case kWsaEHostDown:
      return "host down";
    case kWsaEHostUnreach:
      return "host unreachable";
    case kWsaSysNotReady:
      return "WinSock not present or not responding";
    case kWsaVerNotSupported:
      return "version of WinSock not supported";
    case kWsaNotInitialised:
      return "WSA Startup not initialized";
    case kWsaHostNotFound:
      return "Authoritive: Host not found";
    case kWsaTryAgain:
      return "Non-authoritive: host not found or server failure";
    case kWsaNoRecovery:
      return "Non-recoverable: refused or not implemented";
    case kWsaNoData:
      return "Valid name, no data record for type";
    default: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "Err code: %d", code);
      return buf;
    }
  }
}

std::string SocketErrorText() { return SocketErrorTextFor(LastSocketError()); }

}  // namespace NetModel
