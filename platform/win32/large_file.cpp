#include "platform/large_file.h"

namespace platform {

std::uint64_t StdFileSize(std::FILE* file) {
  _fseeki64(file, 0, SEEK_END);
  long long end = _ftelli64(file);
  _fseeki64(file, 0, SEEK_SET);
  return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

}  // namespace platform
