// One HTTP GET through the system's proxy settings whose answer is not read: WinINet on Windows
// (InternetOpen with the preconfigured access, InternetOpenUrl with INTERNET_FLAG_TRANSFER_ASCII),
// libcurl elsewhere (which honours the proxy variables). Waits for the answer's head, then drops it.
#pragma once
#include <atomic>
#include <string>

namespace platform {

// The URL's path and query go out byte for byte as given (no escaping, nothing cut at "#").
// False when no answer came (no connection, failed lookup, time-out), or when *stop became true
// while it waited: the request is then given up within a fraction of a second.
bool InternetGetAndDiscard(const std::string& url, const std::string& agent,
                           const std::atomic<bool>* stop = nullptr);

}  // namespace platform
