#include <curl/curl.h>

#include "platform/internet_get.h"

namespace platform {
namespace {

// The body is never read: stop at its first bytes.
size_t DropBody(char*, size_t, size_t, void*) { return 0; }

}  // namespace

bool InternetGetAndDiscard(const std::string& url, const std::string& agent) {
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DropBody);
  CURLcode r = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return r == CURLE_OK || (r == CURLE_WRITE_ERROR && status != 0);
}

}  // namespace platform
