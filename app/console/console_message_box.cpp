#include "app/console/console_message_box.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "app/console/console_renderer.h"
#include "platform/terminal.h"

int ConsoleMessageBox(const platform::MessageBoxRequest& request) {
  std::lock_guard<std::mutex> g(ConsoleOutputLock());
  ConsoleRenderer::Interrupted();
  const bool retryCancel = (request.style & platform::kMbTypeMask) == platform::kMbRetryCancel;
  std::string out = "[" + platform::TerminalText(request.caption) + "] " + platform::TerminalText(request.text) + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
  if (!platform::IsTerminal(platform::kStdIn)) return retryCancel ? platform::kIdCancel : platform::kIdOk;
  for (;;) {
    std::fputs(retryCancel ? "(r)etry / (c)ancel? " : "(press Enter) ", stderr);
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return retryCancel ? platform::kIdCancel : platform::kIdOk;
    if (!retryCancel) return platform::kIdOk;
    if (!line.empty() && (line[0] == 'r' || line[0] == 'R')) return platform::kIdRetry;
    if (!line.empty() && (line[0] == 'c' || line[0] == 'C')) return platform::kIdCancel;
  }
}
