// GBK paths for the wide-character file calls. A path whose full form is too long for the ANSI
// calls (folders stop at 248 characters, files at 260) goes in the \\?\ form, which reaches 32767;
// shorter paths are passed as they are, so they resolve exactly as the ANSI calls resolve them.
#pragma once
#include <string>

namespace platform {

std::wstring WidePath(const std::string& gbkPath);
// A name the wide calls return, in the ANSI code page, as the ANSI calls would give it.
std::string NarrowName(const wchar_t* name);

}  // namespace platform
