// PLACEHOLDER so that the win64 build of this branch links: the WinINet transfer is written on its
// own branch under this very name and replaces this file when the branches are merged.
#include "platform/http_download.h"

namespace platform {

DownloadResult HttpDownload(const DownloadRequest&, DownloadSink*, std::string* reason, bool* headSeen) {
  if (headSeen) *headSeen = false;
  *reason = "package transfers are not built into this program";
  return DownloadResult::kFailed;
}

std::int64_t HttpContentLength(const DownloadRequest&) { return -1; }

}  // namespace platform
