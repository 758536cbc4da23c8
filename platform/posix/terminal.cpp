#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"
#include "platform/terminal.h"

namespace platform {

bool IsTerminal(StandardStream stream) { return isatty(static_cast<int>(stream)) == 1; }

namespace {

bool LocaleIsGbk() {
  const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* n : names) {
    const char* v = std::getenv(n);
    if (!v || !*v) continue;
    return std::strstr(v, "GBK") || std::strstr(v, "gbk") || std::strstr(v, "GB2312") || std::strstr(v, "GB18030") ||
           std::strstr(v, "gb18030");
  }
  return false;
}

}  // namespace

std::string TerminalText(const std::string& gbk) { return LocaleIsGbk() ? gbk : GbkToUtf8(gbk); }

std::string GbkFromTerminal(const std::string& text) { return LocaleIsGbk() ? text : Utf8ToGbk(text); }

}  // namespace platform
