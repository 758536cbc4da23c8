#include <windows.h>

#include "platform/dynamic_library.h"

namespace platform {

void* LoadProgramLibrary(const std::string& fileName) { return LoadLibraryA(fileName.c_str()); }

void* FindLibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
