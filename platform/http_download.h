// One HTTP or HTTPS GET whose body is handed to the caller piece by piece: the transfer of an update
// package. libcurl on Linux, WinINet on Windows (the system's proxy settings and certificate store;
// the body is never cached). Certificates are always checked. Redirects are followed, at most
// maxRedirects of them, to http:// and https:// only.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct DownloadRequest {
  std::string url;
  std::string agent;
  // Above 0: the request asks for "Range: bytes=<rangeFrom>-".
  std::int64_t rangeFrom = 0;
  int maxRedirects = 5;
  // No body byte for this long counts as a cut connection.
  int stallSeconds = 30;
  // Becomes true on a close: the transfer ends within a second with kStopped.
  const std::atomic<bool>* stop = nullptr;
};

// The final answer's head (after redirects).
struct DownloadHead {
  int status = 0;                   // HTTP status code
  std::int64_t contentLength = -1;  // -1 when not given
  // From "Content-Range: bytes <first>-<last>/<total>"; -1 when absent or unreadable.
  std::int64_t rangeFirst = -1;
  std::int64_t rangeTotal = -1;    // -1 also for "*"
  bool hasContentRange = false;     // a Content-Range header came, readable or not
};

class DownloadSink {
 public:
  virtual ~DownloadSink() = default;
  // Called once, when the final answer's head has arrived. False ends the transfer (kRefused) without
  // reading the body.
  virtual bool OnHead(const DownloadHead& head) = 0;
  // The body's bytes in order. False ends the transfer (kRefused).
  virtual bool OnBody(const char* data, std::size_t size) = 0;
};

enum class DownloadResult {
  kComplete,  // the whole body arrived (whatever the status; the sink saw the head)
  kCut,       // the connection broke or stalled after the head, or no answer came at all
  kStopped,   // *stop became true
  kRefused,   // the sink said no
  kFailed,    // a fault no retry mends: bad scheme, too many redirects, certificate refused, ...
};

// Runs the request; *reason gets a short ASCII reason for any result but kComplete (for the run log).
// headSeen tells, for kCut, whether the sink's OnHead was called.
DownloadResult HttpDownload(const DownloadRequest& request, DownloadSink* sink, std::string* reason,
                            bool* headSeen = nullptr);

// The body size a HEAD request reports (Content-Length after redirects), or -1 when the server gives
// none or does not answer with 200. Used for the total shown before the first transfer.
std::int64_t HttpContentLength(const DownloadRequest& request);

}  // namespace platform
