// GBK paths with either separator, as the POSIX calls take them: UTF-8 with "/" (as Wine maps them).
#pragma once
#include <string>

#include "platform/codepage.h"

namespace platform {

inline std::string SysPath(const std::string& gbkPath) {
  // Converted first: a GBK trail byte may be 0x5C, UTF-8 never has one inside a character.
  std::string p = HostPath(gbkPath);
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

}  // namespace platform
