// Reading a file as a stdio stream while others may still read and write it (_fsopen with
// _SH_DENYNO on Windows). The path is GBK with either separator.
#pragma once
#include <cstdio>
#include <string>

namespace platform {

// Binary mode: the caller sees every byte, line ends included. Null when it cannot be opened.
std::FILE* OpenSharedReadStream(const std::string& gbkPath);

}  // namespace platform
