#include "tests/support/file_hold.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#endif

namespace testsupport {

#ifdef _WIN32
FileHold::FileHold(const std::string& hostPath, bool exclusive) {
  DWORD share = exclusive ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  HANDLE h = CreateFileA(hostPath.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
}
FileHold::~FileHold() {
  if (handle_) CloseHandle(handle_);
}
bool ExclusiveHoldsEnforced() { return true; }
#else
FileHold::FileHold(const std::string& hostPath, bool exclusive) { handle_ = std::fopen(hostPath.c_str(), "r+b"); }
FileHold::~FileHold() {
  if (handle_) std::fclose(static_cast<std::FILE*>(handle_));
}
bool ExclusiveHoldsEnforced() { return false; }
#endif

}  // namespace testsupport
