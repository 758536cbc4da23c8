#include "app/nolkpatch_dlg.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "app/apply_phase.h"
#include "app/resource.h"
#include "app/update_worker.h"
#include "app/window_messages.h"
#include "engine/src/lumcommon/lum_new_delete.h"
#include "engine/src/lumcommon/timer/thread_timer.h"

std::string* NewTextPayload(const std::string& text) {
  std::string* s = LUM_NEW(std::string, "window text");
  *s = text;
  return s;
}

std::int64_t* NewBytesPayload(std::int64_t bytes) {
  std::int64_t* p = LUM_NEW(std::int64_t, "window bytes");
  *p = bytes;
  return p;
}

double* NewPercentPayload(double percent) {
  double* p = LUM_NEW(double, "window percent");
  *p = percent;
  return p;
}

void FreeTextPayload(std::intptr_t lParam) {
  std::string* s = reinterpret_cast<std::string*>(lParam);
  if (s) LUM_DELETE(s);
}

void FreeMessagePayloads(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  switch (message) {
    case WM_UPDATE_TEXT:
    case WM_UPDATE_STATUS:
      FreeTextPayload(lParam);
      break;
    case WM_UPDATE_SIZE: {
      std::int64_t* p = reinterpret_cast<std::int64_t*>(lParam);
      if (p) LUM_DELETE(p);
      break;
    }
    case WM_UPDATE_PROGRESS: {
      double* p = reinterpret_cast<double*>(wParam);
      if (p) LUM_DELETE(p);
      FreeTextPayload(lParam);
      break;
    }
    default:
      break;
  }
}

namespace {

// Truncation toward zero that stays defined for any double (out-of-range values stop at the limits).
template <typename T>
T TruncateTo(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  return static_cast<T>(v);
}

std::string Decimal(std::int64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%" PRId64, v);
  return buf;
}

}  // namespace

CTransparentStatic::~CTransparentStatic() = default;

CnolkpatchDlg::CnolkpatchDlg(platform::WorkerProc worker)
    : CDialog(IDD_NOLKPATCH_DIALOG), workerProc_(worker ? worker : UpdateThreadProc) {}

CnolkpatchDlg::~CnolkpatchDlg() {
  StopWorker();
  platform::CloseWorkerThread(workerThread);
  workerThread = nullptr;
}

void CnolkpatchDlg::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_VERSION_LABEL, versionLabel);
  DDX_Control(dx, IDC_SIZE_LABEL, sizeLabel);
  DDX_Control(dx, IDC_STATUS_LABEL, statusLabel);
  DDX_Control(dx, IDC_DOWNLOAD_PROGRESS, downloadProgress);
  DDX_Control(dx, IDC_DOWNLOADED_LABEL, downloadedLabel);
  DDX_Control(dx, IDC_UPDATE_PROGRESS, updateProgress);
  DDX_Control(dx, IDC_PROGRESS_CAPTION, progressCaption);
}

bool CnolkpatchDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  PrepareDrawing();
  CenterWindow();
  ShowMinimized();
  SetLabelText(versionLabel, "");
  SetLabelText(sizeLabel, "");
  SetLabelText(downloadedLabel, "");
  SetLabelText(statusLabel, "");
  SetLabelText(progressCaption, "更新进度");
  SetWindowText(LoadAppString(IDS_WINDOW_TITLE));
  workerThread = platform::StartWorkerThread(workerProc_, this);
  // One timer thread per process, however many windows it opens.
  static std::once_flag timerStarted;
  std::call_once(timerStarted, [] {
    CThreadTimer::Inst()->Start(true);
    // Registered after the first event was set, so it runs before the events' state is destroyed.
    std::atexit([] { CThreadTimer::Inst()->Stop(); });
  });
  return true;
}

void CnolkpatchDlg::SetLabelText(CStatic& label, const std::string& text) {
  label.SetWindowText(text);
  RepaintBehind(label.GetDlgCtrlID());
}

void CnolkpatchDlg::ShowApplyStatus(const std::string& text) {
  SetLabelText(statusLabel, text);
  std::string line = "Now Status:" + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void CnolkpatchDlg::PumpMessages() { CDialog::PumpMessages(); }

bool CnolkpatchDlg::WorkerExitCode(unsigned* code) const { return platform::WorkerExitCode(workerThread, code); }

void CnolkpatchDlg::StopWorker() {
  {
    std::lock_guard<std::mutex> lock(UpdateLock);
    CancelRequested = true;
  }
  if (workerThread) WaitForThread(workerThread);
}

void CnolkpatchDlg::OnOK() {
  HideWindow();
  if (!endHandled_) StopWorker();
  CDialog::OnOK();
}

void CnolkpatchDlg::OnCancel() {
  HideWindow();
  if (!endHandled_) StopWorker();
  CDialog::OnCancel();
}

bool CnolkpatchDlg::OnWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                    std::intptr_t* result) {
  switch (message) {
    case WM_UPDATE_TEXT:
      *result = OnUpdateText(wParam, lParam);
      return true;
    case WM_UPDATE_END:
      *result = OnUpdateEnd(wParam, lParam);
      return true;
    case WM_UPDATE_SIZE:
      *result = OnUpdateSize(wParam, lParam);
      return true;
    case WM_UPDATE_PROGRESS:
      *result = OnUpdateProgress(wParam, lParam);
      return true;
    case WM_UPDATE_APPLY:
      *result = OnUpdateApply(wParam, lParam);
      return true;
    case WM_UPDATE_STATUS:
      *result = OnUpdateStatus(wParam, lParam);
      return true;
    default:
      return OnSystemMessage(message, wParam, lParam, result);
  }
}

std::intptr_t CnolkpatchDlg::OnUpdateText(std::uintptr_t wParam, std::intptr_t lParam) {
  std::string* text = reinterpret_cast<std::string*>(lParam);
  if (!text) return 1;
  if (wParam == 0) {
    SetLabelText(statusLabel, *text);
  } else if (wParam == 1) {
    SetLabelText(versionLabel, *text);
  }
  FreeTextPayload(lParam);
  return 1;
}

std::intptr_t CnolkpatchDlg::OnUpdateEnd(std::uintptr_t, std::intptr_t) {
  StopWorker();
  unsigned code = 0;
  if (!platform::WorkerExitCode(workerThread, &code)) code = 0;
  runSucceeded = code == 0 && !applyFailed;
  endHandled_ = true;
  if (code == 0) {
    OnOK();
  } else {
    OnCancel();
  }
  return 1;
}

std::intptr_t CnolkpatchDlg::OnUpdateSize(std::uintptr_t, std::intptr_t lParam) {
  std::int64_t* bytes = reinterpret_cast<std::int64_t*>(lParam);
  if (!bytes) return 1;
  totalUpdateBytes = *bytes;
  SetLabelText(sizeLabel, Decimal(totalUpdateBytes) + " byte");
  LUM_DELETE(bytes);
  return 1;
}

std::intptr_t CnolkpatchDlg::OnUpdateProgress(std::uintptr_t wParam, std::intptr_t lParam) {
  double* percent = reinterpret_cast<double*>(wParam);
  if (!ApplyStarted) {
    std::string* text = reinterpret_cast<std::string*>(lParam);
    if (text) SetLabelText(statusLabel, *text);
    double p = percent ? *percent : 0.0;
    downloadProgress.SetPos(TruncateTo<int>(p));
    std::int64_t amount = TruncateTo<std::int64_t>(static_cast<double>(totalUpdateBytes) * p / 100.0);
    SetLabelText(downloadedLabel, amount != 0 ? Decimal(amount) : std::string());
  }
  FreeMessagePayloads(WM_UPDATE_PROGRESS, wParam, lParam);
  return 1;
}

std::intptr_t CnolkpatchDlg::OnUpdateApply(std::uintptr_t, std::intptr_t) {
  std::intptr_t r = RunApplyPhase(*this);
  if (r == 0) applyFailed = true;
  // Every package was applied: the installation is up to date, even if a close came meanwhile.
  if (r == 1) appliedEverything_ = true;
  return r;
}

std::intptr_t CnolkpatchDlg::OnUpdateStatus(std::uintptr_t, std::intptr_t lParam) {
  std::string* text = reinterpret_cast<std::string*>(lParam);
  if (!ApplyStarted && text) SetLabelText(statusLabel, *text);
  FreeTextPayload(lParam);
  return 1;
}
