// nolkdbghelp.dll on Windows: the program's own name for the system's dbghelp.dll. Its nine exports
// are forwarders (nolkdbghelp.def), so the system library does all the work.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
