// 64-bit sizes of open stdio files.
#pragma once
#include <cstdint>
#include <cstdio>

namespace platform {

// The file's size in bytes; the position is back at the start afterwards.
std::uint64_t StdFileSize(std::FILE* file);

}  // namespace platform
