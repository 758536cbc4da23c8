#include <windows.h>

#include <vector>

#include "platform/current_folder.h"

namespace platform {

std::string CurrentFolder(std::size_t bufferSize) {
  std::vector<char> buf(bufferSize, 0);
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(bufferSize), buf.data());
  if (n == 0 || n >= bufferSize) return std::string();
  return std::string(buf.data(), n);
}

bool ChangeCurrentFolder(const std::string& gbkPath) { return SetCurrentDirectoryA(gbkPath.c_str()) != FALSE; }

}  // namespace platform
