// Libraries loaded at run time. Windows: LoadLibraryA with the system's search order, which begins
// with the program's own folder. Elsewhere the library is taken from the program's own folder.
#pragma once
#include <string>

namespace platform {

// Null when the library cannot be loaded. The library stays loaded for the life of the process.
void* LoadProgramLibrary(const std::string& fileName);
void* FindLibrarySymbol(void* library, const char* name);

}  // namespace platform
