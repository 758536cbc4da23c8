#include <windows.h>
#include <process.h>

#include "platform/worker_thread.h"

namespace platform {

void* StartWorkerThread(WorkerProc proc, void* arg) {
  uintptr_t h = _beginthreadex(nullptr, 0, reinterpret_cast<unsigned(__stdcall*)(void*)>(proc), arg, 0, nullptr);
  return reinterpret_cast<void*>(h);
}

void WaitWorkerThread(void* thread) {
  if (thread) WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
}

bool WorkerExitCode(void* thread, unsigned* code) {
  DWORD c = 0;
  if (!thread || !GetExitCodeThread(static_cast<HANDLE>(thread), &c) || c == STILL_ACTIVE) return false;
  *code = c;
  return true;
}

void CloseWorkerThread(void* thread) {
  if (!thread) return;
  WaitWorkerThread(thread);
  CloseHandle(static_cast<HANDLE>(thread));
}

}  // namespace platform
