// Ending the process at once, from any thread, with every stdio stream flushed first.
#pragma once

namespace platform {

[[noreturn]] void ExitProcessNow(int code);

}  // namespace platform
