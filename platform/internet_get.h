// One HTTP GET through the system's proxy settings whose answer is not read: WinINet on Windows
// (InternetOpen with the preconfigured access, InternetOpenUrl with INTERNET_FLAG_TRANSFER_ASCII),
// libcurl elsewhere (which honours the proxy variables). Waits for the answer's head, then drops it.
#pragma once
#include <string>

namespace platform {

// False when no answer came (no connection, failed lookup, time-out).
bool InternetGetAndDiscard(const std::string& url, const std::string& agent);

}  // namespace platform
