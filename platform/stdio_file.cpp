#include "platform/stdio_file.h"

#include "platform/codepage.h"
#ifdef _WIN32
#include "platform/win32/wide_path.h"
#endif

namespace platform {

std::FILE* OpenStdFile(const std::string& gbkPath, const char* mode) {
#ifdef _WIN32
  // Packages below a deep installation root may lie past the ANSI calls' length limit.
  const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(WidePath(gbkPath).c_str(), wideMode.c_str());
#else
  return std::fopen(HostPath(gbkPath).c_str(), mode);
#endif
}

}  // namespace platform
