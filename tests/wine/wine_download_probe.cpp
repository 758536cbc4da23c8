// One package transfer through the Windows build's transport, for native drivers:
//   wine_download_probe URL      prints "result <n> head <0|1> bytes <n> reason <text>"
#include <cstdio>
#include <string>

#include "platform/http_download.h"

namespace {

class CountingSink : public platform::DownloadSink {
 public:
  bool OnHead(const platform::DownloadHead&) override { return true; }
  bool OnBody(const char*, std::size_t size) override {
    bytes += size;
    return true;
  }
  std::size_t bytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  platform::DownloadRequest request;
  request.url = argv[1];
  request.agent = "nolkpatch";
  CountingSink sink;
  std::string reason;
  bool headSeen = false;
  const platform::DownloadResult r = platform::HttpDownload(request, &sink, &reason, &headSeen);
  std::printf("result %d head %d bytes %zu reason %s\n", static_cast<int>(r), headSeen ? 1 : 0, sink.bytes,
              reason.c_str());
  return 0;
}
