// Modal message boxes with Win32's styles and answers. On Windows: MessageBoxA. Elsewhere the box
// is printed on standard error with its caption; a terminal user answers it, and without a terminal
// an OK box is acknowledged and a retry-or-cancel box answers cancel. Tests install their own answerer.
#pragma once
#include <functional>
#include <string>

namespace platform {

enum : unsigned {
  kMbOk = 0x0,
  kMbRetryCancel = 0x5,
  kMbTypeMask = 0xF,
  kMbIconError = 0x10,
  kMbIconQuestion = 0x20,
  kMbIconExclamation = 0x30,
  kMbIconMask = 0xF0,
  kMbTopmost = 0x40000,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdRetry = 4 };

struct MessageBoxRequest {
  void* owner;          // owning window (a native handle) or null
  std::string text;     // GBK
  std::string caption;  // GBK
  unsigned style;
};
using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;

// Replaces how boxes are shown; an empty handler restores the platform's own. Returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// MessageBoxA: shows the box and returns the answer (kIdOk, kIdCancel, kIdRetry).
int ShowMessageBox(void* owner, const std::string& text, const std::string& caption, unsigned style);

// The application's name: the program file's name without its extension; caption of AfxMessageBox.
void SetAppName(const std::string& name);
const std::string& AppName();

// AfxMessageBox: no owner, the application's name as caption, and the framework's default icon
// (exclamation for OK boxes, none for retry-or-cancel) when the style names none.
int AppMessageBox(const std::string& text, unsigned style);

}  // namespace platform
