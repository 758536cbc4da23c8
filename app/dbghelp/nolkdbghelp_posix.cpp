// nolkdbghelp.dll where the system has no debug-help library: the nine names the program checks for.
// The program never calls them; each answers as a failed call would.
extern "C" {

__attribute__((visibility("default"))) int SymInitialize(void*, const char*, int) { return 0; }
__attribute__((visibility("default"))) int SymCleanup(void*) { return 0; }
__attribute__((visibility("default"))) int MiniDumpWriteDump(void*, unsigned, void*, int, void*, void*, void*) {
  return 0;
}
__attribute__((visibility("default"))) unsigned long long SymLoadModule64(void*, void*, const char*, const char*,
                                                                          unsigned long long, unsigned) {
  return 0;
}
__attribute__((visibility("default"))) int EnumerateLoadedModules64(void*, void*, void*) { return 0; }
__attribute__((visibility("default"))) int StackWalk64(unsigned, void*, void*, void*, void*, void*, void*, void*,
                                                       void*) {
  return 0;
}
__attribute__((visibility("default"))) void* SymFunctionTableAccess64(void*, unsigned long long) { return nullptr; }
__attribute__((visibility("default"))) unsigned long long SymGetModuleBase64(void*, unsigned long long) { return 0; }
__attribute__((visibility("default"))) int SymFromAddr(void*, unsigned long long, unsigned long long*, void*) {
  return 0;
}
}
