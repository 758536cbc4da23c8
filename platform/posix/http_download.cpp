// PLACEHOLDER, to be dropped at merge in favour of the real libcurl transport of branch issue22-core.
// Just enough libcurl for the transport's unit test and the transfer benchmark to run natively.
#include <curl/curl.h>

#include <cstdlib>
#include <cstring>

#include "platform/http_download.h"

namespace platform {
namespace {

struct State {
  DownloadSink* sink;
  const std::atomic<bool>* stop;
  DownloadHead head;
  bool headCalled = false;
  bool refused = false;
};

bool HeadTo(State* s) {
  if (s->headCalled) return true;
  s->headCalled = true;
  if (!s->sink->OnHead(s->head)) s->refused = true;
  return !s->refused;
}

size_t OnHeader(char* data, size_t size, size_t n, void* p) {
  State* s = static_cast<State*>(p);
  std::string line(data, size * n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.compare(0, 5, "HTTP/") == 0) {
    s->head = DownloadHead();
    std::size_t sp = line.find(' ');
    if (sp != std::string::npos) s->head.status = std::atoi(line.c_str() + sp + 1);
  } else if (strncasecmp(line.c_str(), "content-length:", 15) == 0) {
    s->head.contentLength = std::strtoll(line.c_str() + 15, nullptr, 10);
  } else if (strncasecmp(line.c_str(), "content-range:", 14) == 0) {
    s->head.hasContentRange = true;
    long long first = -1, last = -1, total = -1;
    int end = 0;
    const char* v = line.c_str() + 14;
    if (std::sscanf(v, " bytes %lld-%lld/%lld%n", &first, &last, &total, &end) == 3 && !v[end] && last >= first) {
      s->head.rangeFirst = first;
      s->head.rangeTotal = total;
    } else if (std::sscanf(v, " bytes %lld-%lld/*%n", &first, &last, &end) == 2 && end && !v[end] && last >= first) {
      s->head.rangeFirst = first;
    }
  }
  return size * n;
}

size_t OnWrite(char* data, size_t size, size_t n, void* p) {
  State* s = static_cast<State*>(p);
  if (!HeadTo(s)) return 0;
  if (!s->sink->OnBody(data, size * n)) {
    s->refused = true;
    return 0;
  }
  return size * n;
}

int OnProgress(void* p, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  State* s = static_cast<State*>(p);
  return s->stop && s->stop->load() ? 1 : 0;
}

CURL* Prepare(const DownloadRequest& r, State* s) {
  CURL* c = curl_easy_init();
  if (!c) return nullptr;
  curl_easy_setopt(c, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(c, CURLOPT_USERAGENT, r.agent.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(r.maxRedirects));
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(r.stallSeconds));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(r.stallSeconds));
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024);
  if (r.rangeFrom > 0) curl_easy_setopt(c, CURLOPT_RANGE, (std::to_string(r.rangeFrom) + "-").c_str());
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, s);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnWrite);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, s);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, s);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  return c;
}

}  // namespace

DownloadResult HttpDownload(const DownloadRequest& request, DownloadSink* sink, std::string* reason,
                            bool* headSeen) {
  State s{sink, request.stop, DownloadHead()};
  if (headSeen) *headSeen = false;
  CURL* c = Prepare(request, &s);
  if (!c) return DownloadResult::kFailed;
  CURLcode r = curl_easy_perform(c);
  curl_easy_cleanup(c);
  if (r == CURLE_OK && !HeadTo(&s)) r = CURLE_WRITE_ERROR;
  if (headSeen) *headSeen = s.headCalled;
  if (r == CURLE_OK) return DownloadResult::kComplete;
  if (reason) *reason = curl_easy_strerror(r);
  if (s.refused) return DownloadResult::kRefused;
  if (r == CURLE_ABORTED_BY_CALLBACK) return DownloadResult::kStopped;
  if (r == CURLE_TOO_MANY_REDIRECTS || r == CURLE_UNSUPPORTED_PROTOCOL || r == CURLE_PEER_FAILED_VERIFICATION)
    return DownloadResult::kFailed;
  return DownloadResult::kCut;
}

std::int64_t HttpContentLength(const DownloadRequest& request) {
  State s{nullptr, request.stop, DownloadHead()};
  CURL* c = Prepare(request, &s);
  if (!c) return -1;
  curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
  CURLcode r = curl_easy_perform(c);
  curl_easy_cleanup(c);
  return r == CURLE_OK && s.head.status == 200 ? s.head.contentLength : -1;
}

}  // namespace platform
