#include "platform/thread_support.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

namespace platform {
namespace {

// Events share one mutex and condition variable, so one waiter can watch two events at once.
std::mutex& EventMutex() {
  static std::mutex m;
  return m;
}
std::condition_variable& EventCond() {
  static std::condition_variable c;
  return c;
}

struct EventState {
  bool manualReset;
  bool signalled;
};

struct ThreadStart {
  ThreadProc proc;
  void* arg;
};

void* ThreadMain(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.proc(start.arg);
  return nullptr;
}

}  // namespace

Event::Event(bool manualReset) : handle_(new EventState{manualReset, false}) {}
Event::~Event() { delete static_cast<EventState*>(handle_); }

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(EventMutex());
    static_cast<EventState*>(handle_)->signalled = true;
  }
  EventCond().notify_all();
}

int WaitForEither(Event* first, Event* second) {
  auto* a = static_cast<EventState*>(first->Native());
  auto* b = static_cast<EventState*>(second->Native());
  if (!a || !b) return -1;
  std::unique_lock<std::mutex> lock(EventMutex());
  EventCond().wait(lock, [&] { return a->signalled || b->signalled; });
  // Like WaitForMultipleObjects, the lowest index wins when both are signalled.
  EventState* won = a->signalled ? a : b;
  if (!won->manualReset) won->signalled = false;
  return won == a ? 0 : 1;
}

void* StartThread(ThreadProc proc, void* arg, std::uint32_t* threadId) {
  pthread_t t;
  auto* start = new ThreadStart{proc, arg};
  if (pthread_create(&t, nullptr, ThreadMain, start) != 0) {
    delete start;
    return nullptr;
  }
  if (threadId) *threadId = static_cast<std::uint32_t>(reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(t)));
  return reinterpret_cast<void*>(t);
}

void JoinThread(void* thread) { pthread_join(reinterpret_cast<pthread_t>(thread), nullptr); }

void PinToFirstProcessor(void* thread) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(0, &set);
  pthread_setaffinity_np(reinterpret_cast<pthread_t>(thread), sizeof(set), &set);
}

std::uint32_t TimeGetTime() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                    static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void SleepMs(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

}  // namespace platform
