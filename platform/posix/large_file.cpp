#include "platform/large_file.h"

#include <sys/types.h>

namespace platform {

std::uint64_t StdFileSize(std::FILE* file) {
  fseeko(file, 0, SEEK_END);
  off_t end = ftello(file);
  fseeko(file, 0, SEEK_SET);
  return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

}  // namespace platform
