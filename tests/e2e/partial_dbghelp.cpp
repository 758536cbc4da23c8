// A debug-help library that lacks MiniDumpWriteDump and everything after it.
extern "C" {
__attribute__((visibility("default"))) int SymInitialize(void*, const char*, int) { return 0; }
__attribute__((visibility("default"))) int SymCleanup(void*) { return 0; }
}
