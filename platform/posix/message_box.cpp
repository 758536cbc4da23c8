#include <stdio.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "platform/codepage.h"
#include "platform/message_box.h"

namespace platform {

int NativeMessageBox(const MessageBoxRequest& request) {
  const bool retryCancel = (request.style & kMbTypeMask) == kMbRetryCancel;
  std::string out = "[" + GbkToUtf8(request.caption) + "] " + GbkToUtf8(request.text) + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  if (!isatty(STDIN_FILENO)) return retryCancel ? kIdCancel : kIdOk;
  for (;;) {
    std::fputs(retryCancel ? "(r)etry / (c)ancel? " : "(press Enter) ", stderr);
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return retryCancel ? kIdCancel : kIdOk;
    if (!retryCancel) return kIdOk;
    if (!line.empty() && (line[0] == 'r' || line[0] == 'R')) return kIdRetry;
    if (!line.empty() && (line[0] == 'c' || line[0] == 'C')) return kIdCancel;
  }
}

}  // namespace platform
