#include "platform/message_box.h"

#include <mutex>

namespace platform {

int NativeMessageBox(const MessageBoxRequest& request);  // win32/ or posix/

namespace {

std::mutex& HandlerMutex() {
  static std::mutex m;
  return m;
}
MessageBoxHandler& Handler() {
  static MessageBoxHandler h;
  return h;
}
std::string& Name() {
  static std::string name = "nolkpatch";
  return name;
}

}  // namespace

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  MessageBoxHandler previous = Handler();
  Handler() = std::move(handler);
  return previous;
}

int ShowMessageBox(void* owner, const std::string& text, const std::string& caption, unsigned style) {
  MessageBoxRequest request{owner, text, caption, style};
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    handler = Handler();
  }
  return handler ? handler(request) : NativeMessageBox(request);
}

void SetAppName(const std::string& name) { Name() = name; }
const std::string& AppName() { return Name(); }

int AppMessageBox(const std::string& text, unsigned style) {
  if ((style & kMbIconMask) == 0) {
    unsigned type = style & kMbTypeMask;
    if (type == kMbOk || type == 0x1 /* MB_OKCANCEL */)
      style |= kMbIconExclamation;
    else if (type == 0x3 || type == 0x4 /* MB_YESNOCANCEL, MB_YESNO */)
      style |= kMbIconQuestion;
  }
  return ShowMessageBox(nullptr, text, AppName(), style);
}

}  // namespace platform
