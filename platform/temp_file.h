// New, uniquely named files in the system's temporary folder.
#pragma once
#include <string>

namespace platform {

// Creates an empty file whose name begins with prefix (GetTempPathA and GetTempFileNameA on Windows)
// and returns its GBK path; empty when none could be made.
std::string CreateTempFile(const std::string& prefix);

// Deletes a file (_unlink); false when it could not be deleted.
bool RemoveTempFile(const std::string& gbkPath);

}  // namespace platform
