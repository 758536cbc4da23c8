// The common library's timer thread: once started it wakes about once a millisecond on the first
// processor, reads the multimedia clock and sleeps again, until told to stop. It hands nothing out.
#pragma once
#include <cstdint>

#include "platform/thread_support.h"

// What the timer thread is handed: its three events.
struct TimerThreadEvents {
  platform::Event* tick;
  platform::Event* stop;
  platform::Event* stopped;
};

class CThreadTimer {
 public:
  static CThreadTimer* Inst();

  // With flag false nothing happens; with true the events and the thread are created.
  void Start(bool flag);
  // Signals the thread to end and waits until it has; a second call does nothing. The program
  // stops its timer at exit, before the events' shared state is destroyed.
  void Stop();

  void* thread;
  platform::Event* tickEvent;
  platform::Event* stopEvent;
  platform::Event* stoppedEvent;
  std::uint32_t threadId;

  CThreadTimer();
  // A timer that was stopped gives its events back; a running one keeps them.
  ~CThreadTimer();

 private:
  bool stopped_ = false;
  TimerThreadEvents events_ = {nullptr, nullptr, nullptr};
};
