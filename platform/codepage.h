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

// True when every character of a host path has a GBK form, so a GBK text can name it again.
// (Windows: the path as the system keeps it, in UTF-16; elsewhere UTF-8.)
#ifdef _WIN32
bool HasGbkForm(const std::wstring& hostPath);
#else
bool HasGbkForm(const std::string& hostPath);
#endif

}  // namespace platform
