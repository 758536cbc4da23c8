// A debug-help library that lacks MiniDumpWriteDump and everything after it.
#include <windows.h>

extern "C" __declspec(dllexport) BOOL WINAPI SymInitialize(HANDLE, PCSTR, BOOL) { return FALSE; }
extern "C" __declspec(dllexport) BOOL WINAPI SymCleanup(HANDLE) { return FALSE; }
