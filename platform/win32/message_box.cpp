#include <windows.h>

#include "platform/message_box.h"

namespace platform {

int NativeMessageBox(const MessageBoxRequest& request) {
  return MessageBoxA(static_cast<HWND>(request.owner), request.text.c_str(), request.caption.c_str(), request.style);
}

}  // namespace platform
