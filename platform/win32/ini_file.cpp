#include <windows.h>

#include <vector>

#include "platform/ini_file.h"

namespace platform {

std::string ReadIniString(const std::string& gbkPath, const std::string& section, const std::string& key,
                          const std::string& def, std::size_t bufferSize) {
  if (bufferSize == 0) return std::string();
  std::vector<char> buf(bufferSize, '\0');
  DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf.data(),
                                     static_cast<DWORD>(bufferSize), gbkPath.c_str());
  return std::string(buf.data(), n);
}

}  // namespace platform
