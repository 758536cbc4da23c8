// A loopback server of one folder's files for fetch tests and benchmarks: GET and HEAD by path,
// "Range: bytes=N-" answered 206 (416 from the end on), bodies sent with sendfile so the server is
// never what limits a transfer, and an optional cut: the first GET of a name closes after so many
// body bytes. Records each request. POSIX only; native drivers serve Wine runs with it too.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct FileRequest {
  std::string method;  // "GET" or "HEAD"
  std::string target;
  std::string range;   // the Range header's value, empty when none came
};

class FileServer {
 public:
  // Listens on 127.0.0.1 at once, on an ephemeral port (0 when that failed).
  explicit FileServer(const std::string& hostDir);
  ~FileServer();
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  int Port() const { return port_; }
  std::string Url(const std::string& path) const;
  // The first GET of path sends only this many body bytes, then closes.
  void CutFirst(const std::string& path, std::uint64_t bodyBytes);
  std::vector<FileRequest> Requests() const;

 private:
  void Accept();
  void Serve(int client);

  std::string dir_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> cuts_;
  std::vector<FileRequest> requests_;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

}  // namespace testsupport
