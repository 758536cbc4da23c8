// MD5 digests from a source independent of the program's digester, for the digests tests list:
// the system's CryptoAPI on Windows (Wine's own implementation), md5sum natively.
#pragma once
#include <string>

namespace testsupport {

// 32 lower-case hexadecimal digits of the file's digest; an empty text when it cannot be had.
std::string ReferenceMd5(const std::string& path);

}  // namespace testsupport
