#include "platform/disk_space.h"

#include <sys/statvfs.h>

#include "platform/posix/sys_path.h"

namespace platform {

std::int64_t FreeDiskBytes(const std::string& gbkFolder) {
  struct statvfs s;
  if (statvfs(SysPath(gbkFolder).c_str(), &s) != 0) return -1;
  return static_cast<std::int64_t>(s.f_bavail) * static_cast<std::int64_t>(s.f_frsize);
}

}  // namespace platform
