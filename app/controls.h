// Our stand-ins for the dialog's static and progress controls: thin handles bound to a control of a
// window by data exchange, which forward to the window interface.
#pragma once
#include <string>

#include "app/window_port.h"

class CDataExchange {
 public:
  explicit CDataExchange(WindowPort* window) : window_(window) {}
  WindowPort* Window() const { return window_; }

 private:
  WindowPort* window_;
};

class CStatic {
 public:
  virtual ~CStatic() = default;
  void Bind(WindowPort* window, int id) {
    window_ = window;
    id_ = id;
  }
  int GetDlgCtrlID() const { return id_; }
  WindowPort* Window() const { return window_; }
  void SetWindowText(const std::string& text) {
    if (window_) window_->SetItemText(id_, text);
  }
  std::string GetWindowText() const { return window_ ? window_->GetItemText(id_) : std::string(); }

 private:
  WindowPort* window_ = nullptr;
  int id_ = 0;
};

// A label over the background picture: the window's colour handling and SetLabelText make it look
// transparent; the class itself handles nothing.
class CTransparentStatic : public CStatic {
 public:
  ~CTransparentStatic() override;
};

class CProgressCtrl {
 public:
  void Bind(WindowPort* window, int id) {
    window_ = window;
    id_ = id;
  }
  void SetPos(int pos) {
    if (window_) window_->SetProgressPos(id_, pos);
  }
  int GetPos() const { return window_ ? window_->GetProgressPos(id_) : 0; }

 private:
  WindowPort* window_ = nullptr;
  int id_ = 0;
};

inline void DDX_Control(CDataExchange* dx, int id, CStatic& control) { control.Bind(dx->Window(), id); }
inline void DDX_Control(CDataExchange* dx, int id, CProgressCtrl& control) { control.Bind(dx->Window(), id); }
