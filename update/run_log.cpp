#include "update/run_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/stdio_file.h"

namespace {

std::mutex g_logMutex;
std::FILE* g_log = nullptr;

}  // namespace

bool OpenRunLog(const std::string& gbkPath) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_log) std::fclose(g_log);
  // Binary, with the line ends written as text mode writes them on Windows, so both builds agree.
  g_log = platform::OpenStdFile(gbkPath, "wb");
  return g_log != nullptr;
}

void WriteRunLog(const char* fmt, ...) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (!g_log) return;
  char buf[1024];
  std::memset(buf, 0, sizeof buf);
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf - 1, fmt, args);  // leaves room for the line end
  va_end(args);
  std::size_t n = std::strlen(buf);
  // A cut through a double-byte character drops its lead byte rather than leave half of it.
  std::size_t whole = 0;
  while (whole < n) {
    unsigned char c = static_cast<unsigned char>(buf[whole]);
    std::size_t width = c >= 0x81 && c <= 0xFE ? 2 : 1;
    if (whole + width > n) break;
    whole += width;
  }
  std::string line;
  line.reserve(whole + 8);
  for (std::size_t i = 0; i < whole; ++i) {
    if (buf[i] == '\n') line += '\r';
    line += buf[i];
  }
  line += "\r\n";
  std::fwrite(line.data(), 1, line.size(), g_log);
  std::fflush(g_log);
}

void CloseRunLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_log) std::fclose(g_log);
  g_log = nullptr;
}
