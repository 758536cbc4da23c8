#include <windows.h>

#include <set>
#include <vector>

#include "platform/durable.h"
#include "platform/file.h"
#include "platform/win32/wide_path.h"

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
  std::set<std::wstring> volumes;
  for (const std::string& file : WrittenFiles()) {
    wchar_t root[MAX_PATH + 1];
    if (!GetVolumePathNameW(WidePath(file).c_str(), root, MAX_PATH + 1)) return false;
    std::wstring r = root;
    // The long form's root comes back as "\\?\C:\".
    if (r.compare(0, 4, L"\\\\?\\") == 0) r = r.substr(4);
    volumes.insert(r);
  }
  for (const std::wstring& root : volumes) {
    // "C:\" names the volume's root; "\\.\C:" the volume itself.
    if (root.size() != 3 || root[1] != L':') return false;
    const std::wstring device = L"\\\\.\\" + root.substr(0, 2);
    HANDLE h = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
      HANDLE h = CreateFileW(WidePath(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
