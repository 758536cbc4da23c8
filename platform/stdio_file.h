// fopen for GBK paths, whatever the process locale is.
#pragma once
#include <cstdio>
#include <string>

namespace platform {

std::FILE* OpenStdFile(const std::string& gbkPath, const char* mode);

}  // namespace platform
