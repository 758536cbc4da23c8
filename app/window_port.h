// The small window interface the window logic is written against. The real dialog (app/win32/)
// and the terminal (app/console/) implement it; the handlers never know which one they run on.
// Controls are named by their dialog identifiers.
#pragma once
#include <cstdint>
#include <string>

class WindowPort {
 public:
  virtual ~WindowPort() = default;

  // PostMessage to this window; false when it is gone (the caller then still owns the payloads).
  virtual bool PostMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // A label's text. Reading is safe from any thread: it returns what the label shows now.
  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual std::string GetItemText(int id) = 0;
  // Has the background under a control drawn again before the control paints itself.
  virtual void RepaintBehind(int id) = 0;
  // Progress bars, 0 to 100.
  virtual void SetProgressPos(int id, int pos) = 0;
  virtual int GetProgressPos(int id) = 0;
  // A modal box owned by this window (callable from any thread); an empty caption means the
  // application's name.
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned style) = 0;
  // Dispatches every message waiting in the calling thread's queue; does not wait.
  virtual void PumpMessages() = 0;
  // Ends the modal loop with this result once the running handler has returned.
  virtual void EndDialog(int result) = 0;
};
