#include <windows.h>

#include <set>
#include <vector>

#include "platform/durable.h"
#include "platform/file.h"

namespace platform {

namespace {

std::vector<std::string>& WrittenFiles() {
  static std::vector<std::string> files;
  return files;
}

[[noreturn]] void RaiseFor(const std::string& name, DWORD code) {
  SetLastError(code);
  throw CFileException(CFileException::OsErrorToException(static_cast<long>(code)), static_cast<long>(code), name);
}

// FlushFileBuffers on the volume of every noted file; false when some volume cannot be opened or
// flushed that way (the process is not elevated), so the caller flushes file by file.
bool FlushVolumes() {
  std::set<std::string> volumes;
  for (const std::string& file : WrittenFiles()) {
    char root[MAX_PATH + 1];
    if (!GetVolumePathNameA(file.c_str(), root, sizeof root)) return false;
    volumes.insert(root);
  }
  for (std::string root : volumes) {
    // "C:\" names the volume's root; "\\.\C:" the volume itself.
    if (root.size() != 3 || root[1] != ':') return false;
    const std::string device = std::string("\\\\.\\") + root.substr(0, 2);
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BOOL ok = FlushFileBuffers(h);
    CloseHandle(h);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

void NoteWritten(const std::string& path) {
  // A file written twice in a package is flushed once.
  if (WrittenFiles().empty() || WrittenFiles().back() != path) WrittenFiles().push_back(path);
}

void FlushWritten() {
  if (WrittenFiles().empty()) return;
  if (!FlushVolumes()) {
    std::set<std::string> done;
    for (const std::string& file : WrittenFiles()) {
      if (!done.insert(file).second) continue;
      HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // Removed since: nothing of it is left to keep.
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) continue;
        RaiseFor(file, code);
      }
      BOOL ok = FlushFileBuffers(h);
      DWORD code = GetLastError();
      CloseHandle(h);
      if (!ok) RaiseFor(file, code);
    }
  }
  WrittenFiles().clear();
}

// MoveFileExA with MOVEFILE_WRITE_THROUGH returns only once the move is on the disk.
void FlushFolder(const std::string&) {}

}  // namespace platform
