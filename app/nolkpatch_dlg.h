// The program's only window: the current package, the update's size, two progress bars and a status
// line over a background picture. It starts the update worker, shows what the worker and the apply
// phase tell it through posted messages, runs the apply phase when the worker hands over, and ends
// the run on WM_UPDATE_END.
#pragma once
#include <cstdint>
#include <string>

#include "app/controls.h"
#include "app/dialog.h"
#include "platform/worker_thread.h"

class CnolkpatchDlg : public CDialog {
 public:
  // The worker defaults to UpdateThreadProc; a caller may give another (its argument is this window).
  explicit CnolkpatchDlg(platform::WorkerProc worker = nullptr);
  ~CnolkpatchDlg() override;

  // Every change of a label's text goes through here: the label gets its text and the background
  // under it is drawn again.
  void SetLabelText(CStatic& label, const std::string& text);
  // The status line shows text, and standard output gets "Now Status:" + text on a flushed line.
  void ShowApplyStatus(const std::string& text);
  // Window messages waiting in this thread's queue are handled; returns when it is empty.
  void PumpMessages() override;

  // The statistics report of a package step (called by the worker on its thread).
  void NotePackageStart();
  void NotePackageEnd();
  void SendDownloadReport(bool passed);

  // The message handlers (results as the message table says).
  std::intptr_t OnUpdateText(std::uintptr_t wParam, std::intptr_t lParam);
  std::intptr_t OnUpdateEnd(std::uintptr_t wParam, std::intptr_t lParam);
  std::intptr_t OnUpdateSize(std::uintptr_t wParam, std::intptr_t lParam);
  std::intptr_t OnUpdateProgress(std::uintptr_t wParam, std::intptr_t lParam);
  std::intptr_t OnUpdateApply(std::uintptr_t wParam, std::intptr_t lParam);
  std::intptr_t OnUpdateStatus(std::uintptr_t wParam, std::intptr_t lParam);

  bool OnWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, std::intptr_t* result) override;

  // How the run ended, for the process's exit code: true when WM_UPDATE_END found the worker's exit
  // code 0 and the apply phase, if it ran, did not stop on a failure; and true whenever the apply
  // phase applied every package, even if the window was closed while it ran.
  bool RunSucceeded() const { return runSucceeded || appliedEverything_; }
  // The worker's exit code once it has ended (false before).
  bool WorkerExitCode(unsigned* code) const;

  // Fields, in the window's order.
  void* iconHandle = nullptr;
  CTransparentStatic versionLabel;
  CTransparentStatic sizeLabel;
  CTransparentStatic statusLabel;
  void* backgroundBitmap = nullptr;
  std::int64_t totalUpdateBytes = 0;
  void* labelBrush = nullptr;
  void* workerThread = nullptr;
  CTransparentStatic downloadedLabel;
  bool ApplyStarted = false;
  CProgressCtrl downloadProgress;
  CProgressCtrl updateProgress;
  CTransparentStatic progressCaption;
  std::int64_t packageStartTime = 0;
  std::int64_t packageEndTime = 0;

  // Set when the apply phase stopped on a failure (its handler's result 0).
  bool applyFailed = false;

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(CDataExchange* dx) override;
  // The close command, Escape and Enter end the dialog; a running worker is told to stop and waited
  // for first, so it never touches a window or a log that is gone.
  void OnOK() override;
  void OnCancel() override;

 private:
  void StopWorker();
  // The hollow brush and the icons (Win32); nothing on a terminal.
  void PrepareDrawing();
  // The Win32 drawing handlers (app/win32/); elsewhere nothing to do.
  bool OnSystemMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, std::intptr_t* result);

  platform::WorkerProc workerProc_;
  bool runSucceeded = false;
  bool appliedEverything_ = false;
  bool endHandled_ = false;
};
