// A loopback HTTP server for tests and scripts: fixed answers by request target, a served folder
// (streamed, with byte ranges and HEAD), gzip and chunked bodies, any status line, redirects, stalls,
// trickled bytes, a close without data, bodies cut short or running past their Content-Length, and a
// record of every request. Listens on 127.0.0.1 only, on an ephemeral port unless told one.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// What the server sends for one request.
struct HttpAnswer {
  std::string status = "HTTP/1.1 200 OK";  // whole status line, without its line end
  std::vector<std::string> headers;        // extra "Name: value" lines, without line ends
  std::string body;
  bool gzip = false;     // gzip the body and add "Content-Encoding: gzip"
  bool chunked = false;  // send the body with "Transfer-Encoding: chunked"
  std::size_t chunkSize = 100;
  bool contentLength = true;  // add Content-Length (never together with chunked)
  bool useRaw = false;        // send raw verbatim instead of building the answer
  std::string raw;
  bool waitForRequest = true;              // false: answer at once without reading (taken from the default answer)
  bool closeWithoutData = false;           // close right after reading the request
  std::size_t closeAfterBytes = SIZE_MAX;  // stop after this many bytes of the answer and close
  int stallMs = 0;                         // wait this long before the first byte
  std::size_t trickleBytes = 0;            // send in pieces of this size ...
  int trickleDelayMs = 0;                  // ... with this pause before each piece
  int holdOpenMs = 0;                      // after the answer, keep the connection open this long

  static HttpAnswer Ok(const std::string& body);
  static HttpAnswer Status(const std::string& statusLine, const std::string& body = std::string());
  static HttpAnswer Redirect(int code, const std::string& location);
  static HttpAnswer Raw(const std::string& bytes);
  // The bytes this answer puts on the wire (before pieces, stalls and early closes).
  std::string Bytes() const;
};

struct HttpRequestRecord {
  std::string raw;     // as received: request line, headers, blank line, body
  std::string method;  // "GET"
  std::string target;  // "/path?query"
  // The value of the first header of that name (case-insensitive), or empty.
  std::string Header(const std::string& name) const;
};

class HttpTestServer {
 public:
  // Starts listening at once; port 0 takes an ephemeral one. Check Port() != 0.
  explicit HttpTestServer(std::uint16_t port = 0);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path) const;

  // The answer for one request target (exact, query included).
  void SetAnswer(const std::string& target, const HttpAnswer& answer);
  // The answer for targets without their own; "404 Not Found" until set.
  void SetDefault(const HttpAnswer& answer);
  // Serves files below hostDir by path (query ignored, ".." refused); the answer template gives
  // status line, coding and pacing for each file. Targets with their own answer come first.
  void ServeDirectory(const std::string& hostDir, const HttpAnswer& templ = HttpAnswer());
  // Files of the served folder: answers to "Range: bytes=N-" with 206 and a Content-Range (416 past
  // the end) unless ranges are ignored; then the whole file with 200.
  void IgnoreRanges(bool ignore);
  // The next count GETs of served files end after bodyBytes of body (the connection closes).
  void CutNextBodies(int count, std::uint64_t bodyBytes);
  // Served files' bodies are followed by this many bytes more than their Content-Length says.
  void SendExtraBodyBytes(std::uint64_t extra);
  // Body bytes of served files put on the wire so far.
  std::uint64_t FileBodyBytesSent() const;
  // Appends each request's raw bytes to this file as it arrives.
  void SetRecordFile(const std::string& hostPath);

  std::vector<HttpRequestRecord> Requests() const;
  std::size_t RequestCount() const;
  // The targets of the requests so far that begin with prefix ("/query?" for statistics reports).
  std::vector<std::string> TargetsStartingWith(const std::string& prefix) const;
  // Waits until at least n requests have arrived; false after timeoutMs.
  bool WaitForRequests(std::size_t n, int timeoutMs) const;

  // Stops accepting and ends every connection (cutting stalls short). Called by the destructor.
  void Stop();

 private:
  void AcceptLoop();
  void Serve(std::uintptr_t client);
  HttpAnswer Choose(const std::string& target, std::string* file);
  void ServeFile(std::uintptr_t client, const HttpRequestRecord& rec, const std::string& file, const HttpAnswer& templ);
  bool Pause(int ms);  // false when stopping

  std::uintptr_t listener_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, HttpAnswer> answers_;
  HttpAnswer default_;
  std::string dir_;
  HttpAnswer dirTemplate_;
  std::string recordFile_;
  bool ignoreRanges_ = false;
  int cutCount_ = 0;
  std::uint64_t cutAfter_ = 0;
  std::uint64_t extraBytes_ = 0;
  std::uint64_t bodyBytesSent_ = 0;
  std::vector<HttpRequestRecord> requests_;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::vector<std::uintptr_t> clients_;
};

// A loopback port on which nothing listens: bound, read, closed.
std::uint16_t RefusedPort();
// The gzip file form of data.
std::string GzipBytes(const std::string& data);
// data in chunked transfer coding, pieces of chunkSize, with the closing zero chunk.
std::string ChunkedBytes(const std::string& data, std::size_t chunkSize);

}  // namespace testsupport
