#include <pthread.h>

#include <condition_variable>
#include <mutex>

#include "platform/worker_thread.h"

namespace platform {
namespace {

struct Worker {
  pthread_t thread;
  WorkerProc proc;
  void* arg;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  bool joined = false;
  unsigned code = 0;
};

void* WorkerMain(void* p) {
  Worker* w = static_cast<Worker*>(p);
  unsigned code = w->proc(w->arg);
  {
    std::lock_guard<std::mutex> g(w->lock);
    w->code = code;
    w->done = true;
  }
  w->ended.notify_all();
  return nullptr;
}

}  // namespace

void* StartWorkerThread(WorkerProc proc, void* arg) {
  Worker* w = new Worker;
  w->proc = proc;
  w->arg = arg;
  if (pthread_create(&w->thread, nullptr, WorkerMain, w) != 0) {
    delete w;
    return nullptr;
  }
  return w;
}

void WaitWorkerThread(void* thread) {
  if (!thread) return;
  Worker* w = static_cast<Worker*>(thread);
  std::unique_lock<std::mutex> g(w->lock);
  w->ended.wait(g, [w] { return w->done; });
}

bool WorkerExitCode(void* thread, unsigned* code) {
  if (!thread) return false;
  Worker* w = static_cast<Worker*>(thread);
  std::lock_guard<std::mutex> g(w->lock);
  if (!w->done) return false;
  *code = w->code;
  return true;
}

void CloseWorkerThread(void* thread) {
  if (!thread) return;
  Worker* w = static_cast<Worker*>(thread);
  WaitWorkerThread(w);
  pthread_join(w->thread, nullptr);
  delete w;
}

}  // namespace platform
