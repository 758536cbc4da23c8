#include "platform/disk_space.h"

#include <windows.h>

#include "platform/win32/wide_path.h"

namespace platform {

std::int64_t FreeDiskBytes(const std::string& gbkFolder) {
  ULARGE_INTEGER callerFree;
  if (!GetDiskFreeSpaceExW(WidePath(gbkFolder).c_str(), &callerFree, nullptr, nullptr)) return -1;
  return static_cast<std::int64_t>(callerFree.QuadPart);
}

}  // namespace platform
