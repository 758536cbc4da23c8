// The process's current folder, in the system's own form (Windows: backslashes; GBK texts).
#pragma once
#include <string>

namespace platform {

// GetCurrentDirectoryA into a buffer of bufferSize bytes: empty when the call fails or the path
// does not fit (so at most bufferSize - 1 characters come back).
std::string CurrentFolder(std::size_t bufferSize);
// SetCurrentDirectoryA; false when the change failed.
bool ChangeCurrentFolder(const std::string& gbkPath);
// False when the current folder's path holds a character GBK lacks: no GBK text names it, so the
// program cannot find its way back to it.
bool CurrentFolderHasGbkName();

}  // namespace platform
