#include "platform/thread_support.h"

#include <windows.h>
#include <mmsystem.h>
#include <process.h>

namespace platform {

Event::Event(bool manualReset) : handle_(CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {}
Event::~Event() {
  if (handle_) CloseHandle(handle_);
}
void Event::Set() { SetEvent(handle_); }

int WaitForEither(Event* first, Event* second) {
  HANDLE handles[2] = {first->Native(), second->Native()};
  DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (r == WAIT_OBJECT_0) return 0;
  if (r == WAIT_OBJECT_0 + 1) return 1;
  return -1;
}

void* StartThread(ThreadProc proc, void* arg, std::uint32_t* threadId) {
  unsigned id = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, reinterpret_cast<unsigned(__stdcall*)(void*)>(proc), arg, 0, &id);
  if (threadId) *threadId = id;
  return reinterpret_cast<void*>(h);
}

void JoinThread(void* thread) {
  WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread));
}

void PinToFirstProcessor(void* thread) { SetThreadAffinityMask(static_cast<HANDLE>(thread), 1); }

std::uint32_t TimeGetTime() { return timeGetTime(); }
void SleepMs(std::uint32_t ms) { SleepEx(ms, FALSE); }

}  // namespace platform
