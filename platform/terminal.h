// Whether a standard stream is a terminal, and how the terminal wants its text.
#pragma once
#include <string>

namespace platform {

enum StandardStream { kStdIn = 0, kStdOut = 1, kStdErr = 2 };

bool IsTerminal(StandardStream stream);
// A GBK text in the terminal's character set (the locale's; UTF-8 unless the locale names GBK).
std::string TerminalText(const std::string& gbk);
// The other way: a text typed in the terminal's character set (the command line) as GBK.
std::string GbkFromTerminal(const std::string& text);

}  // namespace platform
