#include "tests/support/http_test_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace testsupport {
namespace {

#ifdef _WIN32
typedef SOCKET Sock;
const Sock kNoSock = INVALID_SOCKET;
void CloseSock(Sock s) { closesocket(s); }
void StartSockets() {
  static bool started = [] {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0;
  }();
  (void)started;
}
// 1 readable, 0 not within ms, -1 failed.
int Readable(Sock s, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  int r = select(0, &set, nullptr, nullptr, &tv);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
int SendRaw(Sock s, const char* p, std::size_t n) { return ::send(s, p, static_cast<int>(n), 0); }
void ShutdownBoth(Sock s) { shutdown(s, SD_BOTH); }
#else
typedef int Sock;
const Sock kNoSock = -1;
void CloseSock(Sock s) { ::close(s); }
void StartSockets() {}
int Readable(Sock s, int ms) {
  pollfd p{s, POLLIN, 0};
  int r = poll(&p, 1, ms);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
int SendRaw(Sock s, const char* p, std::size_t n) { return static_cast<int>(::send(s, p, n, MSG_NOSIGNAL)); }
void ShutdownBoth(Sock s) { shutdown(s, SHUT_RDWR); }
#endif

Sock ToSock(std::uintptr_t s) { return static_cast<Sock>(s); }

// A request may pause this long between pieces before the server gives up on it; a large request on a
// busy machine under Wine takes longer than that in all, so the wait counts from the last piece.
const int kRequestWaitMs = 5000;
const std::size_t kMaxRequest = 64u << 20;

bool SendAll(Sock s, const char* p, std::size_t n) {
  while (n > 0) {
    int r = SendRaw(s, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

std::string ContentLengthOf(const std::string& head) {
  HttpRequestRecord r;
  r.raw = head;
  return r.Header("Content-Length");
}

}  // namespace

HttpAnswer HttpAnswer::Ok(const std::string& body) {
  HttpAnswer a;
  a.body = body;
  return a;
}

HttpAnswer HttpAnswer::Status(const std::string& statusLine, const std::string& body) {
  HttpAnswer a;
  a.status = statusLine;
  a.body = body;
  return a;
}

HttpAnswer HttpAnswer::Redirect(int code, const std::string& location) {
  HttpAnswer a;
  const char* reason = code == 301   ? "Moved Permanently"
                       : code == 302 ? "Found"
                       : code == 303 ? "See Other"
                       : code == 307 ? "Temporary Redirect"
                                     : "Permanent Redirect";
  a.status = "HTTP/1.1 " + std::to_string(code) + " " + reason;
  a.headers.push_back("Location: " + location);
  return a;
}

HttpAnswer HttpAnswer::Raw(const std::string& bytes) {
  HttpAnswer a;
  a.useRaw = true;
  a.raw = bytes;
  return a;
}

std::string HttpAnswer::Bytes() const {
  if (useRaw) return raw;
  std::string body = gzip ? GzipBytes(this->body) : this->body;
  std::string out = status + "\r\n";
  for (const std::string& h : headers) out += h + "\r\n";
  if (gzip) out += "Content-Encoding: gzip\r\n";
  if (chunked) {
    out += "Transfer-Encoding: chunked\r\n";
    body = ChunkedBytes(body, chunkSize);
  } else if (contentLength) {
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  out += "Connection: close\r\n\r\n";
  return out + body;
}

std::string HttpRequestRecord::Header(const std::string& name) const {
  const std::string want = Lower(name) + ":";
  std::size_t pos = raw.find("\r\n");
  while (pos != std::string::npos) {
    pos += 2;
    std::size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos || end == pos) break;
    std::string line = raw.substr(pos, end - pos);
    if (Lower(line.substr(0, want.size())) == want) {
      std::size_t v = want.size();
      while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
      return line.substr(v);
    }
    pos = end;
  }
  return std::string();
}

HttpTestServer::HttpTestServer(std::uint16_t port) : listener_(static_cast<std::uintptr_t>(kNoSock)) {
  StartSockets();
  default_ = HttpAnswer::Status("HTTP/1.1 404 Not Found", "not found");
  Sock s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == kNoSock) return;
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    CloseSock(s);
    return;
  }
  listener_ = static_cast<std::uintptr_t>(s);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread(&HttpTestServer::AcceptLoop, this);
}

HttpTestServer::~HttpTestServer() { Stop(); }

std::string HttpTestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpTestServer::SetAnswer(const std::string& target, const HttpAnswer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[target] = answer;
}

void HttpTestServer::SetDefault(const HttpAnswer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = answer;
}

void HttpTestServer::ServeDirectory(const std::string& hostDir, const HttpAnswer& templ) {
  std::lock_guard<std::mutex> lock(mutex_);
  dir_ = hostDir;
  dirTemplate_ = templ;
}

void HttpTestServer::IgnoreRanges(bool ignore) {
  std::lock_guard<std::mutex> lock(mutex_);
  ignoreRanges_ = ignore;
}

void HttpTestServer::CutNextBodies(int count, std::uint64_t bodyBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  cutCount_ = count;
  cutAfter_ = bodyBytes;
}

void HttpTestServer::SendExtraBodyBytes(std::uint64_t extra) {
  std::lock_guard<std::mutex> lock(mutex_);
  extraBytes_ = extra;
}

std::uint64_t HttpTestServer::FileBodyBytesSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bodyBytesSent_;
}

void HttpTestServer::SetRecordFile(const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  recordFile_ = hostPath;
}

std::vector<HttpRequestRecord> HttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> HttpTestServer::TargetsStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const HttpRequestRecord& r : Requests())
    if (r.target.compare(0, prefix.size(), prefix) == 0) out.push_back(r.target);
  return out;
}

std::size_t HttpTestServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool HttpTestServer::WaitForRequests(std::size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

void HttpTestServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !acceptor_.joinable()) return;
    stopping_ = true;
    for (std::uintptr_t c : clients_) ShutdownBoth(ToSock(c));
  }
  changed_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_ != static_cast<std::uintptr_t>(kNoSock)) CloseSock(ToSock(listener_));
  listener_ = static_cast<std::uintptr_t>(kNoSock);
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
}

bool HttpTestServer::Pause(int ms) {
  if (ms <= 0) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_; });
}

void HttpTestServer::AcceptLoop() {
  Sock l = ToSock(listener_);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    if (Readable(l, 50) != 1) continue;
    Sock c = ::accept(l, nullptr, nullptr);
    if (c == kNoSock) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      CloseSock(c);
      return;
    }
    clients_.push_back(static_cast<std::uintptr_t>(c));
    workers_.emplace_back(&HttpTestServer::Serve, this, static_cast<std::uintptr_t>(c));
  }
}

HttpAnswer HttpTestServer::Choose(const std::string& target, std::string* file) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = answers_.find(target);
  if (it != answers_.end()) return it->second;
  if (!dir_.empty()) {
    std::string path = target.substr(0, target.find('?'));
    if (path.find("..") == std::string::npos && !path.empty() && path[0] == '/') {
      std::ifstream in(dir_ + path, std::ios::binary);
      // Plain files are streamed from the disk, whatever their size, with ranges.
      const HttpAnswer plain;
      if (in && !dirTemplate_.gzip && !dirTemplate_.chunked && !dirTemplate_.useRaw &&
          dirTemplate_.status == plain.status && dirTemplate_.contentLength) {
        *file = dir_ + path;
        return dirTemplate_;
      }
      if (in) {
        HttpAnswer a = dirTemplate_;
        a.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.bad()) return a;
      }
    }
  }
  return default_;
}

void HttpTestServer::Serve(std::uintptr_t client) {
  Sock c = ToSock(client);
  bool waitForRequest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waitForRequest = default_.waitForRequest;
  }
  // Read the request head, and a body when it announces one.
  std::string req;
  char buf[64 * 1024];
  std::size_t want = std::string::npos;
  auto start = std::chrono::steady_clock::now();
  for (; waitForRequest;) {
    std::size_t headEnd = req.find("\r\n\r\n");
    if (headEnd != std::string::npos && want == std::string::npos) {
      std::string cl = ContentLengthOf(req.substr(0, headEnd + 2));
      want = headEnd + 4 + (cl.empty() ? 0 : static_cast<std::size_t>(std::strtoul(cl.c_str(), nullptr, 10)));
    }
    if (want != std::string::npos && req.size() >= want) break;
    if (req.size() > kMaxRequest) break;
    int left =
        kRequestWaitMs -
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (left <= 0 || Readable(c, left) != 1) break;
    int n = ::recv(c, buf, sizeof buf, 0);
    if (n <= 0) break;
    req.append(buf, static_cast<std::size_t>(n));
    start = std::chrono::steady_clock::now();
  }

  HttpRequestRecord rec;
  rec.raw = req;
  std::size_t sp1 = req.find(' ');
  std::size_t sp2 = sp1 == std::string::npos ? std::string::npos : req.find(' ', sp1 + 1);
  std::size_t eol = req.find("\r\n");
  if (sp1 != std::string::npos) rec.method = req.substr(0, sp1);
  if (sp2 != std::string::npos && (eol == std::string::npos || sp2 < eol))
    rec.target = req.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string recordFile;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(rec);
    recordFile = recordFile_;
    if (!recordFile.empty()) {
      std::ofstream out(recordFile, std::ios::binary | std::ios::app);
      out << req;
    }
  }
  changed_.notify_all();

  std::string file;
  HttpAnswer answer = Choose(rec.target, &file);
  if (!file.empty() && !answer.closeWithoutData) {
    ServeFile(client, rec, file, answer);
  } else if (!answer.closeWithoutData && Pause(answer.stallMs)) {
    std::string bytes = answer.Bytes();
    if (bytes.size() > answer.closeAfterBytes) bytes.resize(answer.closeAfterBytes);
    std::size_t piece = answer.trickleBytes ? answer.trickleBytes : bytes.size();
    for (std::size_t pos = 0; pos < bytes.size(); pos += piece) {
      if (answer.trickleBytes && !Pause(answer.trickleDelayMs)) break;
      if (!SendAll(c, bytes.data() + pos, std::min(piece, bytes.size() - pos))) break;
    }
    Pause(answer.holdOpenMs);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < clients_.size(); ++i)
    if (clients_[i] == client) {
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  CloseSock(c);
}

void HttpTestServer::ServeFile(std::uintptr_t client, const HttpRequestRecord& rec, const std::string& file,
                               const HttpAnswer& templ) {
  Sock c = ToSock(client);
  std::ifstream in(file, std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::uint64_t size = static_cast<std::uint64_t>(in.tellg());
  bool ignoreRanges, cut = false;
  std::uint64_t cutAfter = 0, extra = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ignoreRanges = ignoreRanges_;
    extra = extraBytes_;
    if (cutCount_ > 0 && rec.method == "GET") {
      --cutCount_;
      cut = true;
      cutAfter = cutAfter_;
    }
  }
  std::string head = templ.status;
  std::uint64_t first = 0, length = size;
  const std::string range = rec.Header("Range");
  if (!ignoreRanges && range.compare(0, 6, "bytes=") == 0 && range.size() > 7 && range.back() == '-') {
    first = std::strtoull(range.c_str() + 6, nullptr, 10);
    if (first >= size) {
      std::string answer = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
                           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      SendAll(c, answer.data(), answer.size());
      return;
    }
    length = size - first;
    head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
           std::to_string(size - 1) + "/" + std::to_string(size);
  }
  head += "\r\n";
  for (const std::string& h : templ.headers) head += h + "\r\n";
  head += "Accept-Ranges: bytes\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
  if (!Pause(templ.stallMs) || !SendAll(c, head.data(), head.size()) || rec.method == "HEAD") return;
  in.seekg(static_cast<std::streamoff>(first));
  std::uint64_t left = cut && cutAfter < length ? cutAfter : length;
  std::vector<char> buf(templ.trickleBytes ? templ.trickleBytes : 256 * 1024);
  while (left > 0) {
    if (templ.trickleBytes && !Pause(templ.trickleDelayMs)) return;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buf.size()));
    if (!in.read(buf.data(), static_cast<std::streamsize>(n))) return;
    if (!SendAll(c, buf.data(), n)) return;
    left -= n;
    std::lock_guard<std::mutex> lock(mutex_);
    bodyBytesSent_ += n;
  }
  if (!cut && extra > 0) {
    const std::string more(static_cast<std::size_t>(extra), 'x');
    SendAll(c, more.data(), more.size());
  }
  if (!cut) Pause(templ.holdOpenMs);
}

std::uint16_t RefusedPort() {
  StartSockets();
  Sock s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  CloseSock(s);
  return port;
}

std::string GzipBytes(const std::string& data) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string ChunkedBytes(const std::string& data, std::size_t chunkSize) {
  if (chunkSize == 0) chunkSize = 1;
  std::string out;
  char size[32];
  for (std::size_t pos = 0; pos < data.size(); pos += chunkSize) {
    std::size_t n = std::min(chunkSize, data.size() - pos);
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    out += size;
    out.append(data, pos, n);
    out += "\r\n";
  }
  return out + "0\r\n\r\n";
}

}  // namespace testsupport
