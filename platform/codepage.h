// The system's texts are GBK (code page 936). Windows takes them as they are; elsewhere file
// names are UTF-8, so paths are converted at this layer, as Wine does.
#pragma once
#include <string>

namespace platform {

// GBK to UTF-8 and back. Bytes that do not convert are kept as they are, so nothing is lost.
std::string GbkToUtf8(const std::string& gbk);
std::string Utf8ToGbk(const std::string& utf8);

// A GBK path in the form the host's file functions take (elsewhere than Windows: UTF-8, and "\\"
// separators as "/", since Windows accepts both).
std::string HostPath(const std::string& gbkPath);

}  // namespace platform
