#include <windows.h>

#include <cstdio>

#include "platform/process.h"

namespace platform {

void ExitProcessNow(int code) {
  std::fflush(nullptr);
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace platform
