// New, uniquely named files in the system's temporary folder.
#pragma once
#include <string>

namespace platform {

// Creates an empty file whose name begins with prefix (GetTempPathA and GetTempFileNameA on Windows)
// and returns its GBK path; empty when none could be made.
std::string CreateTempFile(const std::string& prefix);

// Deletes a file (_unlink); false when it could not be deleted.
bool RemoveTempFile(const std::string& gbkPath);

// False when the temporary folder's path holds a character GBK lacks (no temporary file could be
// named there).
bool TempFolderHasGbkName();

}  // namespace platform
