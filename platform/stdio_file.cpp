#include "platform/stdio_file.h"

#include "platform/codepage.h"

namespace platform {

std::FILE* OpenStdFile(const std::string& gbkPath, const char* mode) {
  return std::fopen(HostPath(gbkPath).c_str(), mode);
}

}  // namespace platform
