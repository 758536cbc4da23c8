// Free space on the volume that holds a folder, as the current user may use it.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Bytes the caller may still write on gbkFolder's volume (GetDiskFreeSpaceExW's caller figure,
// statvfs's f_bavail elsewhere); -1 when it cannot be read.
std::int64_t FreeDiskBytes(const std::string& gbkFolder);

}  // namespace platform
