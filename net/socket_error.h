// WinSock error codes and their short English texts. On systems with BSD sockets errno values and
// resolver failures are mapped onto the same codes, so both builds report the same texts.
#pragma once
#include <string>

namespace NetModel {

enum SocketErrorCode : int {
  kWsaEIntr = 10004,
  kWsaEInval = 10022,
  kWsaEMFile = 10024,
  kWsaEWouldBlock = 10035,
  kWsaEInProgress = 10036,
  kWsaENotSock = 10038,
  kWsaEProtoType = 10041,
  kWsaEProtoNoSupport = 10043,
  kWsaESocktNoSupport = 10044,
  kWsaEAfNoSupport = 10047,
  kWsaEAddrInUse = 10048,
  kWsaEAddrNotAvail = 10049,
  kWsaENetDown = 10050,
  kWsaENetUnreach = 10051,
  kWsaEConnAborted = 10053,
  kWsaEConnReset = 10054,
  kWsaENoBufs = 10055,
  kWsaENotConn = 10057,
  kWsaETimedOut = 10060,
  kWsaEConnRefused = 10061,
  kWsaEHostDown = 10064,
  kWsaEHostUnreach = 10065,
  kWsaSysNotReady = 10091,
  kWsaVerNotSupported = 10092,
  kWsaNotInitialised = 10093,
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

// The text for a code; "Err code: %d" for codes without one.
std::string SocketErrorTextFor(int code);
// The text for the calling thread's last socket error (WSAGetLastError).
std::string SocketErrorText();
// The calling thread's last socket error, and a way to set it (WSAGetLastError, WSASetLastError).
int LastSocketError();
void SetLastSocketError(int code);

}  // namespace NetModel
