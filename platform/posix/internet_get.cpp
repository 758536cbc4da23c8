#include <curl/curl.h>

#include "platform/internet_get.h"

namespace platform {
namespace {

// The body is never read: stop at its first bytes.
size_t DropBody(char*, size_t, size_t, void*) { return 0; }

// A non-zero answer makes libcurl give up the transfer under way.
int WatchStop(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return stop && static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

// "http://host[:port]" and the request target after it ("/" when there is none). libcurl would cut
// a URL at "#" and refuse blanks and control bytes; the target goes out as it is instead.
bool SplitHttpUrl(const std::string& url, std::string* origin, std::string* target) {
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  std::size_t slash = url.find('/', scheme.size());
  std::size_t query = url.find('?', scheme.size());
  std::size_t end = slash < query ? slash : query;
  if (end == std::string::npos) end = url.size();
  if (end == scheme.size()) return false;
  *origin = url.substr(0, end);
  *target = end < url.size() ? url.substr(end) : "/";
  if ((*target)[0] == '?') target->insert(0, "/");
  return true;
}

}  // namespace

bool InternetGetAndDiscard(const std::string& url, const std::string& agent, const std::atomic<bool>* stop) {
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  std::string origin, target;
  if (SplitHttpUrl(url, &origin, &target)) {
    curl_easy_setopt(curl, CURLOPT_URL, (origin + "/").c_str());
    curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, target.c_str());
  } else {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DropBody);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, WatchStop);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(stop));
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  CURLcode r = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return r == CURLE_OK || (r == CURLE_WRITE_ERROR && status != 0);
}

}  // namespace platform
