#include "tests/support/file_server.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {
namespace {

void SendText(int c, const std::string& s) {
  for (std::size_t at = 0; at < s.size();) {
    ssize_t n = send(c, s.data() + at, s.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

std::string HeaderValue(const std::string& head, const char* name) {
  const std::size_t n = std::strlen(name);
  for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2))
    if (strncasecmp(head.c_str() + at + 2, name, n) == 0 && head.compare(at + 2 + n, 1, ":") == 0) {
      std::size_t v = at + 3 + n;
      while (v < head.size() && head[v] == ' ') ++v;
      return head.substr(v, head.find("\r\n", v) - v);
    }
  return std::string();
}

}  // namespace

FileServer::FileServer(const std::string& hostDir) : dir_(hostDir) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return;
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

FileServer::~FileServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : workers_) t.join();
  if (listener_ >= 0) close(listener_);
}

std::string FileServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FileServer::CutFirst(const std::string& path, std::uint64_t bodyBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  cuts_[path] = bodyBytes;
}

std::vector<FileRequest> FileServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FileServer::Accept() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    const int c = accept(listener_, nullptr, nullptr);
    if (c >= 0) workers_.emplace_back([this, c] { Serve(c); });
  }
}

void FileServer::Serve(int c) {
  std::string req;
  char buf[4096];
  while (req.find("\r\n\r\n") == std::string::npos && req.size() < 65536) {
    pollfd p{c, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    const ssize_t n = recv(c, buf, sizeof buf, 0);
    if (n <= 0) break;
    req.append(buf, static_cast<std::size_t>(n));
  }
  FileRequest r;
  const std::size_t sp = req.find(' '), sp2 = sp == std::string::npos ? sp : req.find(' ', sp + 1);
  if (sp2 != std::string::npos) {
    r.method = req.substr(0, sp);
    r.target = req.substr(sp + 1, sp2 - sp - 1);
  }
  r.range = HeaderValue(req.substr(0, req.find("\r\n\r\n")), "Range");
  std::uint64_t limit = UINT64_MAX;
  const std::string path = r.target.substr(0, r.target.find('?'));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(r);
    auto cut = cuts_.find(path);
    if (cut != cuts_.end() && r.method == "GET") {
      limit = cut->second;
      cuts_.erase(cut);
    }
  }
  long long from = 0;
  if (r.range.compare(0, 6, "bytes=") == 0) from = std::atoll(r.range.c_str() + 6);
  const int fd = !path.empty() && path[0] == '/' && path.find("..") == std::string::npos
                     ? open((dir_ + path).c_str(), O_RDONLY)
                     : -1;
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    SendText(c, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  } else if (from > 0 && from >= st.st_size) {
    SendText(c, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(st.st_size) +
                    "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  } else {
    const std::string status =
        from > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                       std::to_string(st.st_size - 1) + "/" + std::to_string(st.st_size) + "\r\n"
                 : "HTTP/1.1 200 OK\r\n";
    SendText(c, status + "Content-Length: " + std::to_string(st.st_size - from) + "\r\nConnection: close\r\n\r\n");
    off_t off = from;
    off_t end = st.st_size;
    if (limit != UINT64_MAX && static_cast<off_t>(from + limit) < end) end = static_cast<off_t>(from + limit);
    while (r.method == "GET" && off < end && sendfile(c, fd, &off, static_cast<std::size_t>(end - off)) > 0) {
    }
  }
  if (fd >= 0) close(fd);
  // A graceful close, so the client reads every byte sent before it sees the end.
  shutdown(c, SHUT_WR);
  pollfd p{c, POLLIN, 0};
  while (poll(&p, 1, 2000) == 1 && recv(c, buf, sizeof buf, 0) > 0) {
  }
  close(c);
}

}  // namespace testsupport
#endif
