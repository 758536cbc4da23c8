#include "engine/src/lumcommon/timer/thread_timer.h"

#include <mutex>

#include "engine/src/lumcommon/lum_new_delete.h"

namespace {

unsigned TimerThreadProc(void* arg) {
  const TimerThreadEvents* events = static_cast<const TimerThreadEvents*>(arg);
  // A failed wait counts as a tick: only the stop event ends the thread.
  while (platform::WaitForEither(events->stop, events->tick) != 0) {
    (void)platform::TimeGetTime();
    platform::SleepMs(1);
    events->tick->Set();
  }
  events->stopped->Set();
  return 0;
}

}  // namespace

CThreadTimer::CThreadTimer()
    : thread(nullptr), tickEvent(nullptr), stopEvent(nullptr), stoppedEvent(nullptr), threadId(0) {}

CThreadTimer* CThreadTimer::Inst() {
  static CThreadTimer* instance = nullptr;
  static std::once_flag once;
  std::call_once(once, [] { instance = LUM_NEW(CThreadTimer, "CThreadTimer::Inst"); });
  return instance;
}

void CThreadTimer::Start(bool flag) {
  if (!flag) return;
  tickEvent = new platform::Event(false);
  stopEvent = new platform::Event(true);
  stoppedEvent = new platform::Event(true);
  events_ = TimerThreadEvents{tickEvent, stopEvent, stoppedEvent};
  thread = platform::StartThread(TimerThreadProc, &events_, &threadId);
  if (thread) platform::PinToFirstProcessor(thread);
  tickEvent->Set();
}

void CThreadTimer::Stop() {
  if (!stopEvent || stopped_) return;
  stopEvent->Set();
  // Joined, not only waited for: the thread is still inside the event's Set when it has signalled.
  if (thread) platform::JoinThread(thread);
  thread = nullptr;
  stopped_ = true;
}

CThreadTimer::~CThreadTimer() {
  if (!stopped_) return;
  delete tickEvent;
  delete stopEvent;
  delete stoppedEvent;
}
