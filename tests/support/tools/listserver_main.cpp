// nolk_listserver: the loopback test server as a program, for scripts and the demo. Serves a folder
// (with byte ranges) or one fixed body on 127.0.0.1, records every request, and ends after a time
// limit or on a signal.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/http_test_server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Usage() {
  std::fprintf(stderr,
               "usage: nolk_listserver [--port N] [--port-file FILE] [--record FILE] [--seconds N]\n"
               "                       [--status LINE] [--gzip] [--chunked] [--stall-ms N]\n"
               "                       [--trickle BYTES:MS] [--close-without-data]\n"
               "                       [--no-ranges] [--cut-bodies COUNT:BYTES] [--extra-bytes N]\n"
               "                       (--dir DIR | --body TEXT | --body-file FILE)\n"
               "  Files of --dir answer \"Range: bytes=N-\" with 206 (416 past the end);\n"
               "  --no-ranges      answer every request with the whole file (200)\n"
               "  --cut-bodies C:B the first C GETs of files close after B bytes of body\n"
               "  --extra-bytes N  send N bytes past each file's Content-Length\n");
  return 64;
}

bool ReadAll(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  testsupport::HttpAnswer answer;
  std::string dir, portFile, record;
  bool haveBody = false;
  int port = 0;
  long seconds = 600;
  bool noRanges = false;
  int cutCount = 0;
  unsigned long long cutBytes = 0, extraBytes = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "nolk_listserver: %s needs a value\n", a.c_str());
        std::exit(Usage());
      }
      return argv[++i];
    };
    if (a == "--port")
      port = std::atoi(value().c_str());
    else if (a == "--port-file")
      portFile = value();
    else if (a == "--record")
      record = value();
    else if (a == "--seconds")
      seconds = std::atol(value().c_str());
    else if (a == "--status")
      answer.status = value();
    else if (a == "--gzip")
      answer.gzip = true;
    else if (a == "--chunked")
      answer.chunked = true;
    else if (a == "--stall-ms")
      answer.stallMs = std::atoi(value().c_str());
    else if (a == "--close-without-data")
      answer.closeWithoutData = true;
    else if (a == "--trickle") {
      std::string v = value();
      answer.trickleBytes = std::strtoul(v.c_str(), nullptr, 10);
      std::size_t colon = v.find(':');
      answer.trickleDelayMs = colon == std::string::npos ? 100 : std::atoi(v.c_str() + colon + 1);
    } else if (a == "--no-ranges")
      noRanges = true;
    else if (a == "--cut-bodies") {
      std::string v = value();
      std::size_t colon = v.find(':');
      if (colon == std::string::npos) return Usage();
      cutCount = std::atoi(v.c_str());
      cutBytes = std::strtoull(v.c_str() + colon + 1, nullptr, 10);
    } else if (a == "--extra-bytes")
      extraBytes = std::strtoull(value().c_str(), nullptr, 10);
    else if (a == "--dir")
      dir = value();
    else if (a == "--body") {
      answer.body = value();
      haveBody = true;
    } else if (a == "--body-file") {
      std::string f = value();
      if (!ReadAll(f, &answer.body)) {
        std::fprintf(stderr, "nolk_listserver: cannot read %s\n", f.c_str());
        return 66;
      }
      haveBody = true;
    } else
      return Usage();
  }
  if (dir.empty() == !haveBody || port < 0 || port > 65535) return Usage();

  testsupport::HttpTestServer server(static_cast<std::uint16_t>(port));
  if (server.Port() == 0) {
    std::fprintf(stderr, "nolk_listserver: cannot listen on 127.0.0.1:%d\n", port);
    return 69;
  }
  if (!record.empty()) {
    std::ofstream(record, std::ios::binary | std::ios::trunc);
    server.SetRecordFile(record);
  }
  server.IgnoreRanges(noRanges);
  server.CutNextBodies(cutCount, cutBytes);
  server.SendExtraBodyBytes(extraBytes);
  if (!dir.empty())
    server.ServeDirectory(dir, answer);
  else
    server.SetDefault(answer);
  if (!portFile.empty()) {
    std::ofstream out(portFile + ".tmp", std::ios::trunc);
    out << server.Port() << "\n";
    out.close();
    std::remove(portFile.c_str());
    std::rename((portFile + ".tmp").c_str(), portFile.c_str());
  }
  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!g_stop && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.Stop();
  return 0;
}
