#include <windows.h>

#include <io.h>

#include "platform/codepage.h"
#include "platform/temp_file.h"

namespace platform {

std::string CreateTempFile(const std::string& prefix) {
  char folder[292] = {0};
  char name[MAX_PATH + 1] = {0};
  if (GetTempPathA(sizeof folder, folder) == 0) return std::string();
  if (GetTempFileNameA(folder, prefix.c_str(), 0, name) == 0) return std::string();
  return name;
}

bool TempFolderHasGbkName() {
  wchar_t folder[MAX_PATH + 2] = {0};
  DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  return n > 0 && n <= MAX_PATH && HasGbkForm(std::wstring(folder, n));
}

bool RemoveTempFile(const std::string& gbkPath) { return _unlink(gbkPath.c_str()) == 0; }

}  // namespace platform
