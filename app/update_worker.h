// The update worker: fetches the list, checks every package in DownloadDir with its status texts and
// statistics reports, and hands over to the apply phase (WM_UPDATE_APPLY) or stops the run.
#pragma once
#include <atomic>
#include <mutex>
#include <string>

class CnolkpatchDlg;

// Set only by the window when it ends the run; the worker stops at its next look. Never reset.
extern std::atomic<bool> CancelRequested;
extern std::mutex UpdateLock;

// The thread procedure; its argument is the main window. 0: nothing to do, or handed over;
// 1: the run stopped.
unsigned UpdateThreadProc(void* window);

// How one package is checked: true when it passed. An exception it raises ends the run like a
// failed check. UpdateThreadProc uses VerifyPackageFile.
using PackageVerifier = bool (*)(const std::string& path, const std::string& md5, const std::atomic<bool>* stop);
// The worker's run with the given check.
unsigned RunUpdateWorker(CnolkpatchDlg* window, PackageVerifier verify);

// Posts WM_UPDATE_TEXT with a heap copy of text: wParam 0 for the status line, 1 for the package label.
// A copy that cannot be posted is freed here.
void PostStatusText(CnolkpatchDlg* window, const std::string& text);
void PostPackageLabel(CnolkpatchDlg* window, const std::string& text);

// Posts a heap payload; frees it when the post fails.
bool PostText(CnolkpatchDlg* window, unsigned message, unsigned wParam, const std::string& text);
