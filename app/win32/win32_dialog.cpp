// The dialog over Win32: template 102 from the program's resources, a dialog procedure that hands
// every message to the window logic, and the controls as the template made them.
#include "app/win32/windows_api.h"

#include <exception>

#include "app/dialog.h"
#include "app/window_messages.h"
#include "platform/message_box.h"
#include "platform/worker_thread.h"

namespace {

// A request of another thread to read a label, served in queue order by the window's thread.
const UINT kReadItemText = WM_APP + 1;
// Minimises again once the window is on the screen (see ShowMinimized).
const UINT kMinimizeAgain = WM_APP + 2;
const UINT_PTR kMinimizeTimer = 0x4E4F;
struct ReadRequest {
  int id;
  std::string text;
  HANDLE done;
};

std::string ItemText(HWND hwnd, int id) {
  HWND item = GetDlgItem(hwnd, id);
  if (!item) return std::string();
  int n = GetWindowTextLengthA(item);
  std::string s(static_cast<std::size_t>(n) + 1, '\0');
  n = GetWindowTextA(item, &s[0], n + 1);
  s.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return s;
}

void Answer(HWND hwnd, LPARAM lParam) {
  ReadRequest* r = reinterpret_cast<ReadRequest*>(lParam);
  r->text = ItemText(hwnd, r->id);
  SetEvent(r->done);
}

std::string FailureText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "发生未知错误。";
  }
}

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Messages directly answered by the dialog procedure's return value.
bool AnswersDirectly(UINT message) {
  return (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) || message == WM_QUERYDRAGICON;
}

}  // namespace

struct CDialog::Impl {
  CDialog* self;
  unsigned templateId;
  HWND hwnd = nullptr;
  bool modal = false;

  // Posted messages that will never be handled still own their payloads.
  void FreePending() {
    MSG m;
    while (PeekMessageA(&m, hwnd, WM_UPDATE_TEXT, WM_UPDATE_END, PM_REMOVE))
      FreeMessagePayloads(m.message, m.wParam, m.lParam);
    while (PeekMessageA(&m, hwnd, WM_UPDATE_SIZE, WM_UPDATE_STATUS, PM_REMOVE))
      FreeMessagePayloads(m.message, m.wParam, m.lParam);
    while (PeekMessageA(&m, hwnd, kReadItemText, kReadItemText, PM_REMOVE)) Answer(hwnd, m.lParam);
  }

  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Impl* impl = reinterpret_cast<Impl*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
      impl = reinterpret_cast<Impl*>(lParam);
      SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(impl));
      impl->hwnd = hwnd;
      return impl->self->OnInitDialog() ? TRUE : FALSE;
    }
    if (!impl) return FALSE;
    switch (message) {
      case kReadItemText:
        Answer(hwnd, lParam);
        return TRUE;
      case kMinimizeAgain:
        SetTimer(hwnd, kMinimizeTimer, 500, nullptr);
        return TRUE;
      case WM_TIMER:
        if (wParam != kMinimizeTimer) break;
        KillTimer(hwnd, kMinimizeTimer);
        // A window hidden by a close stays hidden.
        if (IsWindowVisible(hwnd) && !::IsIconic(hwnd)) ShowWindow(hwnd, SW_MINIMIZE);
        return TRUE;
      case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
          impl->self->OnOK();
          return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
          impl->self->OnCancel();
          return TRUE;
        }
        break;
      case WM_CLOSE:
        impl->self->OnCancel();
        return TRUE;
      case WM_DESTROY:
        impl->FreePending();
        break;
      default:
        break;
    }
    std::intptr_t result = 0;
    bool handled = false;
    try {
      handled = impl->self->OnWindowMessage(message, wParam, lParam, &result);
    } catch (...) {
      // The framework's report of a failure that left a handler; the window stays open.
      platform::AppMessageBox(FailureText(), MB_OK | MB_ICONERROR);
      return TRUE;
    }
    if (!handled) return FALSE;
    if (AnswersDirectly(message)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, static_cast<LONG_PTR>(result));
    return TRUE;
  }
};

CDialog::CDialog(unsigned templateId) : impl_(new Impl) {
  impl_->self = this;
  impl_->templateId = templateId;
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
}

CDialog::~CDialog() {
  DestroyWindow();
  delete impl_;
}

std::intptr_t CDialog::DoModal() {
  impl_->modal = true;
  INT_PTR r = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(impl_->templateId), nullptr, Impl::Proc,
                              reinterpret_cast<LPARAM>(impl_));
  impl_->hwnd = nullptr;
  impl_->modal = false;
  return r;
}

bool CDialog::Create() {
  HWND h = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(impl_->templateId), nullptr, Impl::Proc,
                              reinterpret_cast<LPARAM>(impl_));
  return h != nullptr;
}

void CDialog::DestroyWindow() {
  if (!impl_->hwnd || impl_->modal) return;
  HWND h = impl_->hwnd;
  ::DestroyWindow(h);
  impl_->hwnd = nullptr;
}

void* CDialog::GetSafeHwnd() const { return impl_->hwnd; }

void CDialog::SetWindowText(const std::string& text) { SetWindowTextA(impl_->hwnd, text.c_str()); }

std::string CDialog::GetWindowText() const {
  char buf[1024] = {0};
  int n = GetWindowTextA(impl_->hwnd, buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

void CDialog::ShowMinimized() {
  // Under Wine a window minimised before it was first shown can come up restored where no window
  // manager takes the minimised state over (a bare X display undoes it when the window is first
  // mapped); minimising once more shortly after it is on the screen settles it. Windows keeps the
  // state, and there the second minimise would only undo a restore by the player.
  bool shown = IsWindowVisible(impl_->hwnd) != FALSE;
  ShowWindow(impl_->hwnd, SW_MINIMIZE);
  static const bool underWine = RunningUnderWine();
  if (!shown && underWine) PostMessageA(impl_->hwnd, kMinimizeAgain, 0, 0);
}

void CDialog::HideWindow() {
  if (impl_->hwnd) ShowWindow(impl_->hwnd, SW_HIDE);
}
bool CDialog::IsIconic() const { return ::IsIconic(impl_->hwnd) != FALSE; }

void CDialog::CenterWindow() {
  RECT work, rc;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  GetWindowRect(impl_->hwnd, &rc);
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  int x = work.left + ((work.right - work.left) - w) / 2;
  int y = work.top + ((work.bottom - work.top) - h) / 2;
  SetWindowPos(impl_->hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CDialog::WaitForThread(void* thread) {
  if (!thread) return;
  HANDLE h = static_cast<HANDLE>(thread);
  for (;;) {
    // Sent messages (a box owned by this window enables and disables it) are served by the peek;
    // label reads, which are posted, are looked for every few milliseconds.
    DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, 20, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) return;
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (impl_->hwnd)
      while (PeekMessageA(&m, impl_->hwnd, kReadItemText, kReadItemText, PM_REMOVE)) Answer(impl_->hwnd, m.lParam);
  }
}

bool CDialog::PostMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  HWND h = impl_->hwnd;
  return h && PostMessageA(h, message, wParam, lParam) != FALSE;
}

void CDialog::SetItemText(int id, const std::string& text) { SetDlgItemTextA(impl_->hwnd, id, text.c_str()); }

std::string CDialog::GetItemText(int id) {
  HWND h = impl_->hwnd;
  if (!h || GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId()) return ItemText(h, id);
  ReadRequest request{id, std::string(), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  if (!request.done) return ItemText(h, id);
  if (PostMessageA(h, kReadItemText, 0, reinterpret_cast<LPARAM>(&request))) {
    WaitForSingleObject(request.done, INFINITE);
  } else {
    request.text = ItemText(h, id);
  }
  CloseHandle(request.done);
  return request.text;
}

void CDialog::RepaintBehind(int id) {
  HWND item = GetDlgItem(impl_->hwnd, id);
  if (!item) return;
  RECT rc;
  GetWindowRect(item, &rc);
  MapWindowPoints(nullptr, impl_->hwnd, reinterpret_cast<POINT*>(&rc), 2);
  InvalidateRect(impl_->hwnd, &rc, TRUE);
}

void CDialog::SetProgressPos(int id, int pos) { SendDlgItemMessageA(impl_->hwnd, id, PBM_SETPOS, pos, 0); }

int CDialog::GetProgressPos(int id) { return static_cast<int>(SendDlgItemMessageA(impl_->hwnd, id, PBM_GETPOS, 0, 0)); }

int CDialog::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
  return platform::ShowMessageBox(impl_->hwnd, text, caption.empty() ? platform::AppName() : caption, style);
}

void CDialog::PumpMessages() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
}

void CDialog::EndDialog(int result) {
  if (!impl_->hwnd) return;
  if (impl_->modal) {
    ::EndDialog(impl_->hwnd, result);
  } else {
    ShowWindow(impl_->hwnd, SW_HIDE);
  }
}

