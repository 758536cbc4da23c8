#include <windows.h>
#include <io.h>

#include "platform/terminal.h"

namespace platform {

bool IsTerminal(StandardStream stream) { return _isatty(static_cast<int>(stream)) != 0; }

// The console takes the ANSI code page's texts as they are.
std::string TerminalText(const std::string& gbk) { return gbk; }
std::string GbkFromTerminal(const std::string& text) { return text; }

}  // namespace platform
