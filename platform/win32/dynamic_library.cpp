#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/running_program.h"
#include "platform/win32/wide_path.h"

namespace platform {

void* LoadProgramLibrary(const std::string& fileName) {
  HMODULE library = LoadLibraryA(fileName.c_str());
  if (library) {
    wchar_t path[MAX_PATH + 1] = {0};
    DWORD n = GetModuleFileNameW(library, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) RememberRunningLibrary(NarrowName(path));
  }
  return library;
}

void* FindLibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
