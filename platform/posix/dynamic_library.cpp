#include <dlfcn.h>

#include "platform/dynamic_library.h"
#include "platform/codepage.h"
#include "platform/program_info.h"
#include "platform/running_program.h"

namespace platform {

void* LoadProgramLibrary(const std::string& fileName) {
  std::string path = ProgramFolder() + "/" + fileName;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library) RememberRunningLibrary(Utf8ToGbk(path));
  return library;
}

void* FindLibrarySymbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

}  // namespace platform
