// Our stand-in for the framework's modal dialog. One declaration, two implementations: the real
// Win32 dialog from a resource template (app/win32/) and the same dialog drawn on a terminal with
// its message queue in the process (app/console/).
#pragma once
#include <cstdint>
#include <string>

#include "app/controls.h"
#include "app/window_port.h"

#ifndef IDOK
const int IDOK = 1;
const int IDCANCEL = 2;
#endif
// The close command (WM_CLOSE): the dialog's Cancel.
const unsigned kWmClose = 0x0010;

class CDialog : public WindowPort {
 public:
  explicit CDialog(unsigned templateId);
  ~CDialog() override;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Runs the dialog modally; returns the result given to EndDialog, or -1 when it cannot be created.
  std::intptr_t DoModal();
  // Creates it without a modal loop (its messages are then dispatched by PumpMessages); false on failure.
  bool Create();
  void DestroyWindow();
  // The native window handle (null on the terminal and before creation).
  void* GetSafeHwnd() const;

  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  // Minimised: a taskbar button (the terminal draws its labels all the same).
  void ShowMinimized();
  // Off the screen at once, before a close has finished its work (the terminal keeps its last lines).
  void HideWindow();
  bool IsIconic() const;
  void CenterWindow();

  // Waits for a thread to end while this window keeps serving the requests other threads send it,
  // so a thread that shows a box owned by this window cannot block the wait.
  void WaitForThread(void* thread);

  // WindowPort
  bool PostMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void SetItemText(int id, const std::string& text) override;
  std::string GetItemText(int id) override;
  void RepaintBehind(int id) override;
  void SetProgressPos(int id, int pos) override;
  int GetProgressPos(int id) override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned style) override;
  void PumpMessages() override;
  void EndDialog(int result) override;

  // Window messages not handled by the dialog itself. True when handled; *result is then the answer.
  virtual bool OnWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, std::intptr_t* result);

  struct Impl;

 protected:
  // Binds the controls (the dialog's own exchange first).
  virtual bool OnInitDialog();
  virtual void DoDataExchange(CDataExchange* dx);
  // OK: end with 1; Cancel: end with 2.
  virtual void OnOK();
  virtual void OnCancel();

 private:
  Impl* impl_;
  friend struct Impl;
};
