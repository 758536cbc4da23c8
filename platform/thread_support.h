// Events, threads and the millisecond clock that the common library's timer thread needs:
// Win32 events, _beginthreadex and timeGetTime on Windows; their nearest POSIX equivalents elsewhere.
#pragma once
#include <cstdint>

namespace platform {

// A Win32-style event object. Auto-reset events release one waiter and reset themselves.
class Event {
 public:
  explicit Event(bool manualReset);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set();
  void* Native() const { return handle_; }

 private:
  void* handle_;
};

// Waits for the first of two events without time limit (WaitForMultipleObjects, wait-any).
// Returns 0 or 1 for the event that ended the wait, -1 when the wait failed.
int WaitForEither(Event* first, Event* second);

using ThreadProc = unsigned (*)(void* arg);

// Starts a thread at once with the default stack; returns an opaque handle (null on failure).
void* StartThread(ThreadProc proc, void* arg, std::uint32_t* threadId);
// Waits until the thread has ended and gives its handle back.
void JoinThread(void* thread);
// Restricts the thread to the first processor.
void PinToFirstProcessor(void* thread);

std::uint32_t TimeGetTime();
void SleepMs(std::uint32_t ms);

}  // namespace platform
