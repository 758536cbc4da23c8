#include "platform/running_program.h"

#include <windows.h>

#include <mutex>

#include "platform/win32/wide_path.h"

namespace platform {
namespace {

struct Running {
  std::string path;  // GBK
  DWORD volume, indexHigh, indexLow;
};

// The volume and file index: one file has one, whatever name leads to it.
bool Identify(const std::wstring& path, Running* r) {
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return false;
  r->volume = info.dwVolumeSerialNumber;
  r->indexHigh = info.nFileIndexHigh;
  r->indexLow = info.nFileIndexLow;
  return true;
}

std::string Leaf(const std::string& path) {
  const std::string::size_type at = path.find_last_of("\\/");
  std::string leaf = at == std::string::npos ? path : path.substr(at + 1);
  for (char& c : leaf)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return leaf;
}

bool SameLeaf(const std::string& a, const std::string& b) { return Leaf(a) == Leaf(b); }

std::mutex& Lock() {
  static std::mutex m;
  return m;
}

std::wstring ModulePath(HMODULE module) {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(module, &buf[0], static_cast<DWORD>(buf.size()));
  buf.resize(n < buf.size() ? n : 0);
  return buf;
}

std::vector<Running>& Files() {
  static std::vector<Running> files = [] {
    std::vector<Running> v;
    const std::wstring exe = ModulePath(nullptr);
    Running r;
    if (!exe.empty() && Identify(exe, &r)) {
      r.path = NarrowName(exe.c_str());
      v.push_back(r);
    }
    return v;
  }();
  return files;
}

}  // namespace

bool IsRunningProgramFile(const std::string& gbkPath) {
  Running file;
  std::lock_guard<std::mutex> hold(Lock());
  // Opening every file of a package to identify it would cost a package of small files dearly: only a
  // name like a running file's, or a short 8.3 name, can lead to one.
  bool named = Leaf(gbkPath).find('~') != std::string::npos;
  for (const Running& r : Files()) named = named || SameLeaf(r.path, gbkPath);
  if (!named || !Identify(WidePath(gbkPath), &file)) return false;
  for (const Running& r : Files())
    if (r.volume == file.volume && r.indexHigh == file.indexHigh && r.indexLow == file.indexLow) return true;
  return false;
}

std::vector<std::string> RunningProgramFiles() {
  std::lock_guard<std::mutex> hold(Lock());
  std::vector<std::string> out;
  for (const Running& r : Files()) out.push_back(r.path);
  return out;
}

void RememberRunningLibrary(const std::string& gbkPath) {
  Running r;
  if (!Identify(WidePath(gbkPath), &r)) return;
  r.path = gbkPath;
  std::lock_guard<std::mutex> hold(Lock());
  Files().push_back(r);
}

bool ReplaceRunningFile(const std::string& from, const std::string& to, const std::string& aside) {
  const std::wstring wideFrom = WidePath(from), wideTo = WidePath(to), wideAside = WidePath(aside);
  // Windows lets a running program or a loaded library be renamed on its volume, never replaced.
  if (!MoveFileExW(wideTo.c_str(), wideAside.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD code = GetLastError();
  MoveFileExW(wideAside.c_str(), wideTo.c_str(), 0);
  SetLastError(code);
  return false;
}

}  // namespace platform
