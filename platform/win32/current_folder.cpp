#include <windows.h>

#include <vector>

#include "platform/codepage.h"
#include "platform/current_folder.h"

namespace platform {

std::string CurrentFolder(std::size_t bufferSize) {
  std::vector<char> buf(bufferSize, 0);
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(bufferSize), buf.data());
  if (n == 0 || n >= bufferSize) return std::string();
  return std::string(buf.data(), n);
}

bool CurrentFolderHasGbkName() {
  std::vector<wchar_t> buf(32768, 0);
  DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), buf.data());
  return n > 0 && n < buf.size() && HasGbkForm(std::wstring(buf.data(), n));
}

bool ChangeCurrentFolder(const std::string& gbkPath) { return SetCurrentDirectoryA(gbkPath.c_str()) != FALSE; }

}  // namespace platform
