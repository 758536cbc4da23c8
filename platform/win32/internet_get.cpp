#include <windows.h>
#include <wininet.h>

#include "platform/internet_get.h"

namespace platform {

bool InternetGetAndDiscard(const std::string& url, const std::string& agent) {
  HINTERNET session = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!session) return false;
  HINTERNET file = InternetOpenUrlA(session, url.c_str(), nullptr, 0, INTERNET_FLAG_TRANSFER_ASCII, 1);
  bool answered = file != nullptr;
  if (file) InternetCloseHandle(file);
  InternetCloseHandle(session);
  return answered;
}

}  // namespace platform
