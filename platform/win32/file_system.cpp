#include <windows.h>

#undef DeleteFile
#undef RemoveDirectory
#undef GetCurrentDirectory
#undef SetCurrentDirectory

#include "platform/file_system.h"
#include "platform/win32/wide_path.h"

namespace platform {

bool SetFileAttributesNormal(const std::string& path) {
  return SetFileAttributesW(WidePath(path).c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool SetFileReadOnly(const std::string& path) {
  DWORD a = GetFileAttributesW(WidePath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  return SetFileAttributesW(WidePath(path).c_str(), (a & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY) != 0;
}

bool IsFileReadOnly(const std::string& path) {
  DWORD a = GetFileAttributesW(WidePath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

PathKind GetPathKind(const std::string& path) {
  DWORD a = GetFileAttributesW(WidePath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::kNone;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::kLink;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory : PathKind::kFile;
}

std::uint64_t FileSizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &d)) return 0;
  return (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

bool MakeDir(const std::string& path) { return CreateDirectoryW(WidePath(path).c_str(), nullptr) != 0; }

bool DeleteFile(const std::string& path) { return DeleteFileW(WidePath(path).c_str()) != 0; }

bool RemoveDirectory(const std::string& path) { return RemoveDirectoryW(WidePath(path).c_str()) != 0; }

bool RemoveLink(const std::string& path) {
  DWORD a = GetFileAttributesW(WidePath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  // A folder link (junction or directory symlink) goes with RemoveDirectoryA, never into its target.
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(WidePath(path).c_str()) != 0 : DeleteFileW(WidePath(path).c_str()) != 0;
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {
void Fill(const WIN32_FIND_DATAW& w, FindData* data) {
  data->name = NarrowName(w.cFileName);
  data->isDirectory = (w.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  data->isReparsePoint = (w.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
}  // namespace

void* FindFirst(const std::string& pattern, FindData* data) {
  WIN32_FIND_DATAW w;
  HANDLE h = FindFirstFileW(WidePath(pattern).c_str(), &w);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  Fill(w, data);
  return h;
}

bool FindNext(void* search, FindData* data) {
  WIN32_FIND_DATAW w;
  if (!search || !FindNextFileW(static_cast<HANDLE>(search), &w)) return false;
  Fill(w, data);
  return true;
}

void FindClose(void* search) {
  if (search) ::FindClose(static_cast<HANDLE>(search));
}

std::string GetCurrentDirectory() {
  char buf[MAX_PATH];
  DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
  if (n == 0) return std::string();
  if (n < sizeof buf) return std::string(buf, n);
  std::string big(n, '\0');
  DWORD m = GetCurrentDirectoryA(n, &big[0]);
  big.resize(m < n ? m : 0);
  return big;
}

bool SetCurrentDirectory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

}  // namespace platform
