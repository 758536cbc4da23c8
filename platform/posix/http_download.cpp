#include "platform/http_download.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(const char* text, std::size_t size, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  if (size < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != prefix[i]) return false;
  }
  return true;
}

bool IsHttpUrl(const std::string& url) {
  return StartsWithNoCase(url.data(), url.size(), "http://") || StartsWithNoCase(url.data(), url.size(), "https://");
}

// A decimal number at p; false when there is none or it does not fit.
bool ReadNumber(const std::string& s, std::size_t* p, std::int64_t* out) {
  std::size_t i = *p;
  std::int64_t v = 0;
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v > (INT64_MAX - 9) / 10) return false;
    v = v * 10 + (s[i] - '0');
  }
  *p = i;
  *out = v;
  return true;
}

// "bytes <first>-<last>/<total>" or "bytes <first>-<last>/*"; anything else leaves -1.
void ParseContentRange(const std::string& value, DownloadHead* head) {
  head->hasContentRange = true;
  if (value.compare(0, 6, "bytes ") != 0) return;
  std::size_t p = 6;
  std::int64_t first = 0, last = 0, total = -1;
  if (!ReadNumber(value, &p, &first) || p >= value.size() || value[p++] != '-') return;
  if (!ReadNumber(value, &p, &last) || p >= value.size() || value[p++] != '/' || last < first) return;
  if (!(p < value.size() && value[p] == '*' && p + 1 == value.size()) &&
      (!ReadNumber(value, &p, &total) || p != value.size() || total <= last))
    return;
  head->rangeFirst = first;
  head->rangeTotal = total;
}

struct Transfer {
  DownloadSink* sink = nullptr;
  const std::atomic<bool>* stop = nullptr;
  DownloadHead head;       // of the answer whose headers are arriving or have arrived
  bool headGiven = false;  // OnHead was called
  bool refused = false;    // the sink said no
  bool stopped = false;    // *stop was seen
};

// Every hop's headers come through here: a new status line starts a new head.
size_t OnHeader(char* data, size_t size, size_t count, void* arg) {
  Transfer* t = static_cast<Transfer*>(arg);
  const size_t n = size * count;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (StartsWithNoCase(line.data(), line.size(), "http/")) {
    t->head = DownloadHead();
    std::size_t sp = line.find(' ');
    std::int64_t status = 0;
    if (sp != std::string::npos) {
      ++sp;
      if (ReadNumber(line, &sp, &status) && status < 1000) t->head.status = static_cast<int>(status);
    }
    return n;
  }
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) return n;
  std::size_t v = colon + 1;
  while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
  std::string value = line.substr(v);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  if (StartsWithNoCase(line.data(), colon, "content-length") && colon == 14) {
    std::size_t p = 0;
    std::int64_t length = -1;
    if (ReadNumber(value, &p, &length) && p == value.size()) t->head.contentLength = length;
  } else if (StartsWithNoCase(line.data(), colon, "content-range") && colon == 13) {
    ParseContentRange(value, &t->head);
  }
  return n;
}

bool GiveHead(Transfer* t) {
  if (t->headGiven) return !t->refused;
  t->headGiven = true;
  if (!t->sink->OnHead(t->head)) t->refused = true;
  return !t->refused;
}

size_t OnBody(char* data, size_t size, size_t count, void* arg) {
  Transfer* t = static_cast<Transfer*>(arg);
  const size_t n = size * count;
  if (!GiveHead(t)) return 0;
  if (n > 0 && !t->sink->OnBody(data, n)) {
    t->refused = true;
    return 0;
  }
  return n;
}

// libcurl calls this many times a second while it waits as well: the close is seen within one.
int OnProgress(void* arg, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Transfer* t = static_cast<Transfer*>(arg);
  if (t->stop && t->stop->load()) {
    t->stopped = true;
    return 1;
  }
  return 0;
}

// The settings every request shares: certificate and host checks on (libcurl's defaults, set again
// so that no build or environment turns them off), http and https only, redirects bounded.
CURL* NewHandle(const DownloadRequest& request, Transfer* t) {
  CURL* curl = curl_easy_init();
  if (!curl) return nullptr;
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, request.maxRedirects > 0 ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(request.maxRedirects));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  // No byte for stallSeconds: libcurl ends the transfer as timed out.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(request.stallSeconds > 0 ? request.stallSeconds : 30));
  if (!request.agent.empty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, request.agent.c_str());
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, t);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, t);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  return curl;
}

// Faults that another try cannot mend.
bool IsLasting(CURLcode r) {
  switch (r) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
    case CURLE_FILESIZE_EXCEEDED:
      return true;
    default:
      return false;
  }
}

}  // namespace

DownloadResult HttpDownload(const DownloadRequest& request, DownloadSink* sink, std::string* reason, bool* headSeen) {
  GlobalInit();
  if (headSeen) *headSeen = false;
  if (!IsHttpUrl(request.url)) {
    *reason = "not an http or https URL";
    return DownloadResult::kFailed;
  }
  Transfer t;
  t.sink = sink;
  t.stop = request.stop;
  CURL* curl = NewHandle(request, &t);
  if (!curl) {
    *reason = "no transfer handle";
    return DownloadResult::kFailed;
  }
  std::string range;
  if (request.rangeFrom > 0) {
    range = std::to_string(request.rangeFrom) + "-";
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  char error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  CURLcode r = curl_easy_perform(curl);
  // An answer without a body (a 416 or a 404 with nothing after its head) still shows its head.
  if (r == CURLE_OK && !t.headGiven) GiveHead(&t);
  curl_easy_cleanup(curl);
  if (headSeen) *headSeen = t.headGiven;
  if (t.stopped) {
    *reason = "stopped";
    return DownloadResult::kStopped;
  }
  if (t.refused) {
    *reason = "refused by the receiver";
    return DownloadResult::kRefused;
  }
  if (r == CURLE_OK) {
    reason->clear();
    return DownloadResult::kComplete;
  }
  *reason = error[0] ? error : curl_easy_strerror(r);
  if (r == CURLE_OPERATION_TIMEDOUT) *reason = "stalled: " + *reason;
  return IsLasting(r) ? DownloadResult::kFailed : DownloadResult::kCut;
}

std::int64_t HttpContentLength(const DownloadRequest& request) {
  GlobalInit();
  if (!IsHttpUrl(request.url)) return -1;
  Transfer t;
  t.stop = request.stop;
  CURL* curl = NewHandle(request, &t);
  if (!curl) return -1;
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  // Only the size shown before the transfers waits for this: a server that keeps a HEAD waiting
  // costs a few seconds, not a stall's worth.
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  CURLcode r = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (r != CURLE_OK || t.head.status != 200) return -1;
  return t.head.contentLength;
}

}  // namespace platform
