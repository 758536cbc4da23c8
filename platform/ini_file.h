// INI values with the rules of GetPrivateProfileStringA: section and key names compared without regard
// to letter case, blanks around names and values removed, a value in a pair of matching quotes loses
// them, the first of duplicate keys wins, a missing file, section or key gives the default.
#pragma once
#include <cstddef>
#include <string>

namespace platform {

// The value of key in section of the file at gbkPath (a full path), at most bufferSize - 1 bytes.
// On Windows this is GetPrivateProfileStringA itself.
std::string ReadIniString(const std::string& gbkPath, const std::string& section, const std::string& key,
                          const std::string& def, std::size_t bufferSize = 1024);

// The same rules applied to a file's bytes; used where the system has no such call.
std::string ParseIniString(const std::string& contents, const std::string& section, const std::string& key,
                           const std::string& def, std::size_t bufferSize = 1024);

}  // namespace platform
