#include "update/run_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/stdio_file.h"

namespace {

std::mutex g_logMutex;
std::FILE* g_log = nullptr;

}  // namespace

bool OpenRunLog(const std::string& gbkPath) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_log) std::fclose(g_log);
  g_log = platform::OpenStdFile(gbkPath, "wt");
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
  buf[n++] = '\n';
  std::fwrite(buf, 1, n, g_log);
  std::fflush(g_log);
}

void CloseRunLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_log) std::fclose(g_log);
  g_log = nullptr;
}
