// A thread whose end can be waited for and whose result can be read afterwards
// (_beginthreadex, WaitForSingleObject and GetExitCodeThread on Windows).
#pragma once

namespace platform {

using WorkerProc = unsigned (*)(void* arg);

// Starts the thread at once with the default stack; null when it cannot be started.
void* StartWorkerThread(WorkerProc proc, void* arg);
// Waits without time limit for the thread to end.
void WaitWorkerThread(void* thread);
// The thread's result once it has ended; false while it runs or when it cannot be read.
bool WorkerExitCode(void* thread, unsigned* code);
// Gives the handle back; the thread must have ended (it is waited for first).
void CloseWorkerThread(void* thread);

}  // namespace platform
