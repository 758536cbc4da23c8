#include <cstdio>

#include "platform/ini_file.h"
#include "platform/stdio_file.h"

namespace platform {

std::string ReadIniString(const std::string& gbkPath, const std::string& section, const std::string& key,
                          const std::string& def, std::size_t bufferSize) {
  std::string contents;
  if (std::FILE* f = OpenStdFile(gbkPath, "rb")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) contents.append(buf, n);
    std::fclose(f);
  }
  return ParseIniString(contents, section, key, def, bufferSize);
}

}  // namespace platform
