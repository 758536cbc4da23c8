#include <windows.h>

#include "platform/single_instance.h"

namespace platform {

void* TakeSingleInstanceGuard(const std::string& name, bool* alreadyRunning) {
  // Creating and looking at the error is one step; opening first and creating after would leave a gap.
  HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, name.c_str());
  *alreadyRunning = h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  return h;
}

void ReleaseSingleInstanceGuard(void* guard) {
  if (guard) CloseHandle(static_cast<HANDLE>(guard));
}

}  // namespace platform
