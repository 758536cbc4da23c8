#include <dlfcn.h>

#include "platform/dynamic_library.h"
#include "platform/program_info.h"

namespace platform {

void* LoadProgramLibrary(const std::string& fileName) {
  std::string path = ProgramFolder() + "/" + fileName;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindLibrarySymbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

}  // namespace platform
