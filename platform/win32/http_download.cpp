#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/http_download.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

struct Target {
  bool https = false;
  std::string host;
  INTERNET_PORT port = 0;
  std::string object;  // path and query, as given
};

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  for (std::size_t i = 0; prefix[i]; ++i) {
    if (i >= s.size()) return false;
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != prefix[i]) return false;
  }
  return true;
}

// Our own split rather than InternetCrackUrlA, so the path and query reach the request as they are.
bool SplitTarget(const std::string& url, Target* t) {
  std::size_t at;
  if (StartsWithNoCase(url, "http://")) {
    t->https = false;
    at = 7;
  } else if (StartsWithNoCase(url, "https://")) {
    t->https = true;
    at = 8;
  } else {
    return false;
  }
  std::size_t end = url.find_first_of("/?#", at);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(at, end - at);
  t->port = t->https ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  std::size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    const std::string digits = authority.substr(colon + 1);
    authority.resize(colon);
    if (!digits.empty()) {
      if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
      const long port = std::strtol(digits.c_str(), nullptr, 10);
      if (port < 1 || port > 65535) return false;
      t->port = static_cast<INTERNET_PORT>(port);
    }
  }
  if (authority.size() > 2 && authority.front() == '[' && authority.back() == ']')
    authority = authority.substr(1, authority.size() - 2);
  if (authority.empty()) return false;
  t->host = authority;
  t->object = end < url.size() ? url.substr(end) : "/";
  if (t->object[0] != '/') t->object.insert(0, "/");
  return true;
}

// A Location header against the URL that gave it: absolute, scheme-relative, absolute path or
// relative path.
std::string ResolveLocation(const std::string& base, const std::string& location) {
  const std::size_t colon = location.find(':');
  if (colon != std::string::npos && location.find_first_of("/?#") > colon) return location;  // has a scheme
  const std::size_t schemeEnd = base.find("://");
  if (location.compare(0, 2, "//") == 0) return base.substr(0, schemeEnd + 1) + location;
  const std::size_t pathStart = base.find_first_of("/?#", schemeEnd + 3);
  const std::string origin = base.substr(0, pathStart);
  if (!location.empty() && location[0] == '/') return origin + location;
  std::string dir = pathStart == std::string::npos ? "/" : base.substr(pathStart, base.find_first_of("?#", pathStart) - pathStart);
  dir.resize(dir.rfind('/') + 1);
  return origin + dir + location;
}

std::int64_t ParseCount(const std::string& s, std::size_t* pos) {
  std::size_t start = *pos;
  std::int64_t v = 0;
  while (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9') {
    if (v > (INT64_MAX - 9) / 10) return -1;
    v = v * 10 + (s[(*pos)++] - '0');
  }
  return *pos == start ? -1 : v;
}

// "bytes <first>-<last>/<total>", "bytes <first>-<last>/*" or "bytes */<total>".
void ParseContentRange(const std::string& value, DownloadHead* head) {
  std::size_t pos = 0;
  while (pos < value.size() && value[pos] == ' ') ++pos;
  if (!StartsWithNoCase(value.substr(pos), "bytes")) return;
  pos += 5;
  while (pos < value.size() && value[pos] == ' ') ++pos;
  std::int64_t first = -1;
  if (pos < value.size() && value[pos] == '*') {
    ++pos;
  } else {
    first = ParseCount(value, &pos);
    if (first < 0 || pos >= value.size() || value[pos++] != '-') return;
    const std::int64_t last = ParseCount(value, &pos);
    if (last < first) return;
  }
  if (pos >= value.size() || value[pos++] != '/') return;
  std::int64_t total = -1;
  if (pos < value.size() && value[pos] == '*') {
    ++pos;
    if (first < 0) return;  // "*/*" says nothing
  } else {
    total = ParseCount(value, &pos);
    if (total < 0) return;
  }
  if (pos != value.size()) return;
  head->rangeFirst = first;
  head->rangeTotal = total;
}

bool QueryText(HINTERNET request, DWORD info, std::string* value) {
  std::vector<char> buf(256);
  for (;;) {
    DWORD size = static_cast<DWORD>(buf.size());
    if (HttpQueryInfoA(request, info, buf.data(), &size, nullptr)) {
      value->assign(buf.data(), size);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= buf.size()) return false;
    buf.resize(size + 1);
  }
}

bool IsCertificateError(DWORD e) {
  switch (e) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return true;
    default:
      return false;
  }
}

// WinINet's blocking calls cannot be told to give up, but closing their request handle from another
// thread ends them. This thread does so when *stop turns true or nothing has arrived for the stall
// time. The receive time-out on the handle is the second line against a stall.
class Watchdog {
 public:
  Watchdog(const std::atomic<bool>* stop, int stallSeconds)
      : stop_(stop), stall_(std::chrono::seconds(stallSeconds > 0 ? stallSeconds : 1)), last_(Clock::now()) {
    thread_ = std::thread(&Watchdog::Run, this);
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
    Release();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // The request handle now under way (the one before released).
  void Watch(HINTERNET request) {
    std::lock_guard<std::mutex> lock(mutex_);
    request_ = request;
    last_ = Clock::now();
  }
  void Progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = Clock::now();
  }
  // Closes the watched handle unless this thread already did.
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request_) InternetCloseHandle(request_);
    request_ = nullptr;
  }
  // The handle's own receive time-out may end a call a moment before this thread would: a call that
  // failed after nearly the stall time without a byte counts as stalled too.
  bool Stalled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stalled_ || Clock::now() - last_ >= stall_ - std::chrono::milliseconds(200);
  }
  bool Stopped() const { return stop_ && stop_->load(); }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      wake_.wait_for(lock, std::chrono::milliseconds(100));
      if (done_ || !request_) continue;
      const bool stalled = Clock::now() - last_ >= stall_;
      if (stalled || Stopped()) {
        stalled_ = stalled_ || stalled;
        InternetCloseHandle(request_);
        request_ = nullptr;
      }
    }
  }

  const std::atomic<bool>* stop_;
  const Clock::duration stall_;
  std::mutex mutex_;
  std::condition_variable wake_;
  HINTERNET request_ = nullptr;
  Clock::time_point last_;
  bool stalled_ = false;
  bool done_ = false;
  std::thread thread_;
};

class Handle {
 public:
  explicit Handle(HINTERNET h = nullptr) : h_(h) {}
  ~Handle() {
    if (h_) InternetCloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Reset(HINTERNET h) {
    if (h_) InternetCloseHandle(h_);
    h_ = h;
  }
  HINTERNET Get() const { return h_; }

 private:
  HINTERNET h_;
};

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One transfer: requests (following redirects) until a final answer's head has arrived.
class Transfer {
 public:
  Transfer(const DownloadRequest& request, const char* verb)
      : request_(request), verb_(verb), watchdog_(request.stop, request.stallSeconds) {}

  // kComplete when a final head is in head_ and the request handle is watched; otherwise the result.
  DownloadResult Open(std::string* reason) {
    if (watchdog_.Stopped()) return Fail(DownloadResult::kStopped, "stopped", reason);
    session_.Reset(InternetOpenA(request_.agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session_.Get()) return Fail(DownloadResult::kFailed, ErrorText("InternetOpen", GetLastError()), reason);
    std::string url = request_.url;
    for (int hops = 0;; ++hops) {
      Target t;
      if (!SplitTarget(url, &t)) return Fail(DownloadResult::kFailed, "scheme", reason);
      // The answer before first: closing its connection would free its handle for reuse.
      watchdog_.Release();
      request_handle_ = nullptr;
      connection_.Reset(InternetConnectA(session_.Get(), t.host.c_str(), t.port, nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, 0));
      if (!connection_.Get()) return Broken("InternetConnect", reason);
      DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE |
                    INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                    INTERNET_FLAG_NO_AUTH;
      if (t.https) flags |= INTERNET_FLAG_SECURE;
      HINTERNET req = HttpOpenRequestA(connection_.Get(), verb_, t.object.c_str(), nullptr, nullptr, nullptr, flags, 0);
      if (!req) return Broken("HttpOpenRequest", reason);
      watchdog_.Watch(req);
      request_handle_ = req;
      DWORD ms = static_cast<DWORD>((request_.stallSeconds > 0 ? request_.stallSeconds : 1) * 1000);
      InternetSetOptionA(req, INTERNET_OPTION_CONNECT_TIMEOUT, &ms, sizeof ms);
      InternetSetOptionA(req, INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
      InternetSetOptionA(req, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
      std::string headers;
      if (request_.rangeFrom > 0) headers = "Range: bytes=" + std::to_string(request_.rangeFrom) + "-\r\n";
      if (!HttpSendRequestA(req, headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(headers.size()),
                            nullptr, 0))
        return Broken("HttpSendRequest", reason);
      watchdog_.Progress();
      DWORD status = 0, size = sizeof status;
      if (!HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return Broken("HttpQueryInfo", reason);
      std::string location;
      if (IsRedirect(status) && QueryText(req, HTTP_QUERY_LOCATION, &location) && !location.empty()) {
        if (hops >= request_.maxRedirects) return Fail(DownloadResult::kFailed, "too many redirects", reason);
        url = ResolveLocation(url, location);
        if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://"))
          return Fail(DownloadResult::kFailed, "scheme", reason);
        continue;
      }
      head_ = DownloadHead();
      head_.status = static_cast<int>(status);
      std::string text;
      if (QueryText(req, HTTP_QUERY_CONTENT_LENGTH, &text)) {
        std::size_t pos = 0;
        const std::int64_t n = ParseCount(text, &pos);
        if (pos == text.size()) head_.contentLength = n;
      }
      if (QueryText(req, HTTP_QUERY_CONTENT_RANGE, &text)) {
        head_.hasContentRange = true;
        ParseContentRange(text, &head_);
      }
      return DownloadResult::kComplete;
    }
  }

  // The body to the sink, in pieces as they arrive.
  DownloadResult ReadBody(DownloadSink* sink, std::string* reason) {
    std::vector<char> buf(64 * 1024);
    std::int64_t total = 0;
    for (;;) {
      if (watchdog_.Stopped()) return Fail(DownloadResult::kStopped, "stopped", reason);
      // Asking what is there first keeps a read from waiting for a full buffer on a slow line.
      DWORD avail = 0;
      if (!InternetQueryDataAvailable(request_handle_, &avail, 0, 0)) return Broken("InternetQueryDataAvailable", reason);
      if (avail == 0) break;
      DWORD n = 0;
      const DWORD want = avail < buf.size() ? avail : static_cast<DWORD>(buf.size());
      if (!InternetReadFile(request_handle_, buf.data(), want, &n)) return Broken("InternetReadFile", reason);
      if (n == 0) break;
      watchdog_.Progress();
      total += n;
      if (!sink->OnBody(buf.data(), n)) return Fail(DownloadResult::kRefused, "refused", reason);
    }
    if (watchdog_.Stopped()) return Fail(DownloadResult::kStopped, "stopped", reason);
    // WinINet ends a body quietly when the connection closes early; its length tells.
    if (head_.contentLength >= 0 && total < head_.contentLength)
      return Fail(DownloadResult::kCut, "cut after " + std::to_string(total) + " of " +
                                            std::to_string(head_.contentLength) + " bytes", reason);
    return DownloadResult::kComplete;
  }

  const DownloadHead& Head() const { return head_; }

 private:
  static DownloadResult Fail(DownloadResult r, const std::string& text, std::string* reason) {
    if (reason) *reason = text;
    return r;
  }
  static std::string ErrorText(const char* call, DWORD e) {
    return std::string(call) + " failed, wininet error " + std::to_string(e);
  }
  // A call that failed: stopped, stalled, a certificate refused, or a connection that broke.
  DownloadResult Broken(const char* call, std::string* reason) {
    const DWORD e = GetLastError();
    if (watchdog_.Stopped()) return Fail(DownloadResult::kStopped, "stopped", reason);
    if (watchdog_.Stalled() || e == ERROR_INTERNET_TIMEOUT) return Fail(DownloadResult::kCut, "stalled", reason);
    if (IsCertificateError(e))
      return Fail(DownloadResult::kFailed, "certificate refused, wininet error " + std::to_string(e), reason);
    return Fail(DownloadResult::kCut, ErrorText(call, e), reason);
  }

  const DownloadRequest& request_;
  const char* verb_;
  // Declared before the watchdog, so the watchdog closes the request before its parents go.
  Handle session_;
  Handle connection_;
  Watchdog watchdog_;
  HINTERNET request_handle_ = nullptr;
  DownloadHead head_;
};

// What the caller and the thread running a transfer share. A blocked WinINet call may outlast the
// caller's wait (Wine does not end a blocked receive when its handle is closed), so the thread owns
// this too and the sink is only called while the caller still waits.
struct Run {
  DownloadRequest request;  // its stop points at stopAsked
  std::atomic<bool> stopAsked{false};
  DownloadSink* sink = nullptr;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  bool abandoned = false;
  DownloadResult result = DownloadResult::kFailed;
  std::string reason;
  bool headSeen = false;
  DownloadHead head;
};

class GuardedSink : public DownloadSink {
 public:
  explicit GuardedSink(Run* run) : run_(run) {}
  bool OnHead(const DownloadHead& head) override {
    std::lock_guard<std::mutex> lock(run_->mutex);
    if (run_->abandoned) return false;
    run_->headSeen = true;
    return run_->sink->OnHead(head);
  }
  bool OnBody(const char* data, std::size_t size) override {
    std::lock_guard<std::mutex> lock(run_->mutex);
    return !run_->abandoned && run_->sink->OnBody(data, size);
  }

 private:
  Run* run_;
};

void Execute(std::shared_ptr<Run> run, bool headOnly) {
  DownloadResult r;
  std::string reason;
  DownloadHead head;
  {
    Transfer transfer(run->request, headOnly ? "HEAD" : "GET");
    r = transfer.Open(&reason);
    head = transfer.Head();
    if (r == DownloadResult::kComplete && !headOnly) {
      GuardedSink sink(run.get());
      if (!sink.OnHead(head)) {
        r = DownloadResult::kRefused;
        reason = "refused";
      } else {
        r = transfer.ReadBody(&sink, &reason);
      }
    }
  }
  std::lock_guard<std::mutex> lock(run->mutex);
  run->done = true;
  if (run->abandoned) return;  // the caller has its answer already
  run->result = r;
  run->reason = reason;
  run->head = head;
  run->ended.notify_all();
}

// Runs the transfer on its own thread and waits for it. On a stop the watchdog closes the handle,
// which ends a blocked call on Windows at once; a call that still blocks is left to end by itself
// and the caller gets kStopped within a second all the same.
std::shared_ptr<Run> Await(const DownloadRequest& request, DownloadSink* sink, bool headOnly) {
  auto run = std::make_shared<Run>();
  run->request = request;
  run->request.stop = &run->stopAsked;
  run->sink = sink;
  run->stopAsked = request.stop && request.stop->load();
  std::thread worker(Execute, run, headOnly);
  std::unique_lock<std::mutex> lock(run->mutex);
  Clock::time_point giveUp = Clock::time_point::max();
  while (!run->done) {
    run->ended.wait_for(lock, std::chrono::milliseconds(100));
    if (giveUp == Clock::time_point::max() && request.stop && request.stop->load()) {
      run->stopAsked = true;
      giveUp = Clock::now() + std::chrono::milliseconds(400);
    }
    if (!run->done && Clock::now() >= giveUp) {
      run->abandoned = true;
      run->result = DownloadResult::kStopped;
      run->reason = "stopped";
      lock.unlock();
      worker.detach();
      return run;
    }
  }
  lock.unlock();
  worker.join();
  return run;
}

}  // namespace

DownloadResult HttpDownload(const DownloadRequest& request, DownloadSink* sink, std::string* reason,
                            bool* headSeen) {
  std::shared_ptr<Run> run = Await(request, sink, false);
  // Read under the lock: an abandoned thread may still be finishing.
  std::lock_guard<std::mutex> lock(run->mutex);
  if (headSeen) *headSeen = run->headSeen;
  if (reason && run->result != DownloadResult::kComplete) *reason = run->reason;
  return run->result;
}

std::int64_t HttpContentLength(const DownloadRequest& request) {
  std::shared_ptr<Run> run = Await(request, nullptr, true);
  std::lock_guard<std::mutex> lock(run->mutex);
  if (run->abandoned || run->result != DownloadResult::kComplete || run->head.status != 200) return -1;
  return run->head.contentLength;
}

}  // namespace platform
