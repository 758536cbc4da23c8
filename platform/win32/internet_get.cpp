#include <windows.h>
#include <wininet.h>

#include "platform/internet_get.h"

namespace platform {

// WinINet's blocking open cannot be given up half-way; a stop asked for before it starts is honoured.
bool InternetGetAndDiscard(const std::string& url, const std::string& agent, const std::atomic<bool>* stop) {
  if (stop && stop->load()) return false;
  HINTERNET session = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!session) return false;
  HINTERNET file = InternetOpenUrlA(session, url.c_str(), nullptr, 0, INTERNET_FLAG_TRANSFER_ASCII, 1);
  bool answered = file != nullptr;
  if (file) InternetCloseHandle(file);
  InternetCloseHandle(session);
  return answered;
}

}  // namespace platform
