// The one file that talks to the socket library. The few differences between WinSock and BSD sockets
// sit in the small helpers at the top; everything below them is written once.
#include "net/comm_http.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cstring>

#include "net/socket_error.h"
#include "net/socket_init.h"

namespace NetModel {
namespace {

#ifdef _WIN32

int Last() { return WSAGetLastError(); }
void SetLast(int code) { WSASetLastError(code); }

SocketHandle OpenTcp() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}
bool SetNonBlocking(SocketHandle s) {
  u_long on = 1;
  return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}
void CloseRaw(SocketHandle s) { closesocket(static_cast<SOCKET>(s)); }
std::uint32_t MsTicks() { return GetTickCount(); }

// 1 ready, 0 the wait ran out, -1 failed. A failed non-blocking connect shows in the exception set.
int Wait(SocketHandle s, bool forWrite, const TimeValue& budget) {
  fd_set set, except;
  FD_ZERO(&set);
  FD_ZERO(&except);
  FD_SET(static_cast<SOCKET>(s), &set);
  FD_SET(static_cast<SOCKET>(s), &except);
  timeval tv;
  tv.tv_sec = budget.seconds < 0 ? 0 : budget.seconds;
  tv.tv_usec = budget.seconds < 0 ? 0 : budget.microseconds;
  int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, forWrite ? &except : nullptr, &tv);
  if (r == SOCKET_ERROR) return -1;
  if (forWrite && FD_ISSET(static_cast<SOCKET>(s), &except)) return 1;  // the pending error tells
  return FD_ISSET(static_cast<SOCKET>(s), &set) ? 1 : 0;
}

int SendSome(SocketHandle s, const char* data, std::size_t n) {
  return ::send(static_cast<SOCKET>(s), data, static_cast<int>(n > 0x40000000u ? 0x40000000u : n), 0);
}
int RecvSome(SocketHandle s, char* buf, std::size_t n) {
  return ::recv(static_cast<SOCKET>(s), buf, static_cast<int>(n), 0);
}
bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

int PendingError(SocketHandle s) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return WSAGetLastError();
  return err;
}

bool Resolve(const std::string& host, in_addr* out) {
  hostent* h = gethostbyname(host.c_str());
  if (!h || !h->h_addr_list || !h->h_addr_list[0]) return false;
  std::size_t n =
      static_cast<std::size_t>(h->h_length) < sizeof *out ? static_cast<std::size_t>(h->h_length) : sizeof *out;
  std::memcpy(out, h->h_addr_list[0], n);
  return true;
}

#else

thread_local int g_lastError = 0;

int FromErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return kWsaEIntr;
    case EINVAL:
      return kWsaEInval;
    case EMFILE:
    case ENFILE:
      return kWsaEMFile;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
      return kWsaEWouldBlock;  // WinSock's answer to a pending connect
    case EALREADY:
      return 10037;
    case EBADF:
    case ENOTSOCK:
      return kWsaENotSock;
    case EPROTOTYPE:
      return kWsaEProtoType;
    case EPROTONOSUPPORT:
      return kWsaEProtoNoSupport;
    case ESOCKTNOSUPPORT:
      return kWsaESocktNoSupport;
    case EAFNOSUPPORT:
      return kWsaEAfNoSupport;
    case EADDRINUSE:
      return kWsaEAddrInUse;
    case EADDRNOTAVAIL:
      return kWsaEAddrNotAvail;
    case ENETDOWN:
      return kWsaENetDown;
    case ENETUNREACH:
      return kWsaENetUnreach;
    case ECONNABORTED:
      return kWsaEConnAborted;
    case EPIPE:
    case ECONNRESET:
      return kWsaEConnReset;
    case ENOBUFS:
    case ENOMEM:
      return kWsaENoBufs;
    case ENOTCONN:
      return kWsaENotConn;
    case ETIMEDOUT:
      return kWsaETimedOut;
    case ECONNREFUSED:
      return kWsaEConnRefused;
    case EHOSTDOWN:
      return kWsaEHostDown;
    case EHOSTUNREACH:
      return kWsaEHostUnreach;
    case EACCES:
      return 10013;  // WSAEACCES
    default:
      return e;
  }
}

int Last() { return g_lastError; }
void SetLast(int code) { g_lastError = code; }
void SetFromErrno() { g_lastError = FromErrno(errno); }

SocketHandle OpenTcp() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    SetFromErrno();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(s);
}
bool SetNonBlocking(SocketHandle s) {
  int fd = static_cast<int>(s);
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    SetFromErrno();
    return false;
  }
  return true;
}
void CloseRaw(SocketHandle s) { ::close(static_cast<int>(s)); }
std::uint32_t MsTicks() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

// poll rather than select: no limit on descriptor numbers. Rounds the budget up to whole milliseconds.
int Wait(SocketHandle s, bool forWrite, const TimeValue& budget) {
  pollfd p;
  p.fd = static_cast<int>(s);
  p.events = forWrite ? POLLOUT : POLLIN;
  p.revents = 0;
  long long ms =
      budget.seconds < 0 ? 0 : static_cast<long long>(budget.seconds) * 1000 + (budget.microseconds + 999) / 1000;
  if (ms > 0x7fffffff) ms = 0x7fffffff;
  int r;
  do {
    r = poll(&p, 1, static_cast<int>(ms));
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    SetFromErrno();
    return -1;
  }
  return r > 0 ? 1 : 0;
}

int SendSome(SocketHandle s, const char* data, std::size_t n) {
  ssize_t r = ::send(static_cast<int>(s), data, n, MSG_NOSIGNAL);
  if (r < 0) SetFromErrno();
  return static_cast<int>(r);
}
int RecvSome(SocketHandle s, char* buf, std::size_t n) {
  ssize_t r;
  do {
    r = ::recv(static_cast<int>(s), buf, n, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) SetFromErrno();
  return static_cast<int>(r);
}
bool WouldBlock() { return g_lastError == kWsaEWouldBlock; }

int PendingError(SocketHandle s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return FromErrno(errno);
  return FromErrno(err);
}

bool Resolve(const std::string& host, in_addr* out) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int r = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (r != 0 || !res) {
    switch (r) {
      case EAI_AGAIN:
        SetLast(kWsaTryAgain);
        break;
      case EAI_FAIL:
        SetLast(kWsaNoRecovery);
        break;
#ifdef EAI_NODATA
      case EAI_NODATA:
        SetLast(kWsaNoData);
        break;
#endif
      case EAI_MEMORY:
        SetLast(kWsaENoBufs);
        break;
      default:
        SetLast(kWsaHostNotFound);
        break;
    }
    if (res) freeaddrinfo(res);
    return false;
  }
  *out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

#endif

bool IsDottedText(const std::string& host) {
  for (char c : host)
    if (c != '.' && (c < '0' || c > '9')) return false;
  return true;
}

std::uint16_t LeadingNumber(const std::string& text) {
  std::uint32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    n = n * 10u + static_cast<std::uint32_t>(c - '0');
  }
  return static_cast<std::uint16_t>(n);
}

}  // namespace

int LastSocketError() { return Last(); }
void SetLastSocketError(int code) { SetLast(code); }

void CloseSocketHandle(SocketHandle socket) { CloseRaw(socket); }

bool InitSockets() {
#ifdef _WIN32
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
#else
  return true;
#endif
}

namespace {

void FromTicks(std::uint32_t ms, TimeValue* out) {
  out->seconds = static_cast<std::int32_t>(ms / 1000u);
  out->microseconds = static_cast<std::int32_t>((ms % 1000u) * 1000u);
}

// How long one wait lasts at most while a stop may be asked for.
const TimeValue kStopSlice = {0, 100000};

}  // namespace

int NowTime(TimeValue& out) {
  FromTicks(MsTicks(), &out);
  return 0;
}

void CommHttp::Now(TimeValue* out) const { FromTicks(ticks_ ? ticks_() : MsTicks(), out); }

void CommHttp::Fail(const std::string& text) {
  error_ += text.empty() ? SocketErrorText() : text;
  if (socket_ != kInvalidSocket) CloseRaw(socket_);
  socket_ = kInvalidSocket;
}

bool CommHttp::WaitReady(bool forWrite, TimeValue* t0, TimeValue* t1) {
  Now(t0);
  for (;;) {
    // Without a stop flag this is one wait for the whole budget; with one, waits of a tenth of a
    // second until the budget is used up, looking at the flag in between.
    TimeValue left = budget_;
    if (stop_) {
      TimeValue now;
      Now(&now);
      TimeValue spent = TickSpan(*t0, now);
      left = TimeCompare(budget_, spent) == 1 ? TimeDiff(budget_, spent) : TimeValue{0, 0};
    }
    const bool last = !stop_ || TimeCompare(left, kStopSlice) != 1;
    int w = Wait(socket_, forWrite, last ? left : kStopSlice);
    if (w < 0) {
      Fail("");
      return false;
    }
    if (w > 0) break;
    if (stop_ && stop_->load()) {
      Fail("stopped");
      return false;
    }
    if (last) {
      SetLast(kWsaETimedOut);
      Fail("");
      return false;
    }
  }
  Now(t1);
  return true;
}

bool CommHttp::Spend(const TimeValue& t0, const TimeValue& t1) {
  TimeValue elapsed = TickSpan(t0, t1);
  if (TimeCompare(budget_, elapsed) == 1) {
    budget_ = TimeDiff(budget_, elapsed);
    return true;
  }
  Fail("Time Out!!!");
  return false;
}

void CommHttp::Connect() {
  socket_ = OpenTcp();
  if (socket_ == kInvalidSocket) {
    error_ += SocketErrorText();
    return;
  }
  if (!SetNonBlocking(socket_)) return Fail("");

  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(LeadingNumber(port_));
  if (IsDottedText(host_)) {
    addr.sin_addr.s_addr = inet_addr(host_.c_str());
    // An empty or unparsable address would name the broadcast address: never send anything there.
    if (host_.empty() || addr.sin_addr.s_addr == INADDR_NONE) {
      SetLast(kWsaEAddrNotAvail);
      return Fail("");
    }
  } else if (!Resolve(host_, &addr.sin_addr)) {
    return Fail("");
  }

#ifdef _WIN32
  int r = ::connect(static_cast<SOCKET>(socket_), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (r != SOCKET_ERROR) return;
#else
  int r = ::connect(static_cast<int>(socket_), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (r == 0) return;
  SetFromErrno();
#endif
  if (Last() != kWsaEWouldBlock) return Fail("");

  TimeValue t0, t1;
  if (!WaitReady(true, &t0, &t1)) return;
  // Writable or failed: the pending error tells which, so a refused connection fails at once.
  int pending = PendingError(socket_);
  if (pending != 0) {
    SetLast(pending);
    return Fail("");
  }
  Spend(t0, t1);
}

void CommHttp::Send() {
  std::size_t sent = 0;
  while (sent < request_.size()) {
    int n = SendSome(socket_, request_.data() + sent, request_.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || !WouldBlock()) return Fail("");
    // The socket's buffer is full: wait for room within the budget and go on.
    TimeValue t0, t1;
    if (!WaitReady(true, &t0, &t1) || !Spend(t0, t1)) return;
  }
}

void CommHttp::Receive() {
  char buffer[4096];
  for (;;) {
    TimeValue t0, t1;
    if (!WaitReady(false, &t0, &t1)) return;
    int n = RecvSome(socket_, buffer, sizeof buffer);
    if (n < 0) {
      if (WouldBlock()) {  // woken without data: count the wait and try again
        if (!Spend(t0, t1)) return;
        continue;
      }
      return Fail("");
    }
    if (n == 0) return;
    if (response_.size() + static_cast<std::size_t>(n) > maxResponse_) {
      return Fail(maxResponse_ == kMaxResponseBytes ? "answer larger than 64 MiB"
                                                    : "answer larger than " + std::to_string(maxResponse_) + " bytes");
    }
    response_.append(buffer, static_cast<std::size_t>(n));
    if (!Spend(t0, t1)) return;
    // A server that keeps the connection open after a whole answer is not waited for.
    if (AnswerComplete()) return;
  }
}

void CommHttp::Close() {
  if (socket_ != kInvalidSocket) CloseRaw(socket_);
  socket_ = kInvalidSocket;
}

}  // namespace NetModel
