#include "platform/running_program.h"

#include <windows.h>

#include <wchar.h>

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

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool EndsWithIgnoringCase(const std::wstring& text, const std::wstring& tail) {
  return text.size() > tail.size() && _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

const DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Waits up to a minute: the process that ran from the file ends in a moment.
void MoveWhenFree(const std::wstring& from, const std::wstring& to) {
  for (int i = 0; i < 600 && Exists(from) && !MoveFileExW(from.c_str(), to.c_str(), kReplace); ++i) Sleep(100);
}

}  // namespace

bool ReplaceRunningFile(const std::string& from, const std::string& to, const std::string& /*aside*/,
                        const std::string& pending) {
  const std::wstring wideFrom = WidePath(from), wideTo = WidePath(to), widePending = WidePath(pending);
  // A file nothing runs from is replaced in one step. A running one cannot be: renaming it aside
  // first would leave its name empty until the second move, and a kill there strands the program.
  // Its new content waits under the pending name instead, the newest one replacing the last.
  if (!Exists(widePending) && !IsRunningProgramFile(to)) return MoveFileExW(wideFrom.c_str(), wideTo.c_str(), kReplace);
  return MoveFileExW(wideFrom.c_str(), widePending.c_str(), kReplace);
}

std::string NewestProgramContent(const std::string& path, const std::string& pending) {
  return Exists(WidePath(pending)) ? pending : path;
}

void FinishProgramReplacements(const std::string& libraryName, const std::string& pendingSuffix,
                               const std::string& asideSuffix) {
  const std::wstring self = ModulePath(nullptr), pending = Widen(pendingSuffix);
  const std::wstring folder = self.substr(0, self.find_last_of(L"\\/") + 1);
  const std::wstring library = folder + Widen(libraryName);
  if (EndsWithIgnoringCase(self, pending)) {
    // Started from the pending file at the end of the old program's run: take the program's name and
    // the library's once the old process has let go of them, each in one rename, then end.
    MoveWhenFree(self, self.substr(0, self.size() - pending.size()));
    MoveWhenFree(library + pending, library);
    ExitProcess(0);
  }
  // Nothing runs from the library before it is loaded (another instance stops at its guard anyway).
  if (Exists(library + pending))
    MoveFileExW((library + pending).c_str(), library.c_str(), kReplace);
  else if (!Exists(library) && Exists(library + Widen(asideSuffix)))
    MoveFileExW((library + Widen(asideSuffix)).c_str(), library.c_str(), MOVEFILE_WRITE_THROUGH);
}

void StartPendingProgram(const std::string& pendingSuffix) {
  const std::wstring self = ModulePath(nullptr);
  const std::wstring pending = self + Widen(pendingSuffix);
  if (self.empty() || !Exists(pending)) return;
  const std::wstring folder = self.substr(0, self.find_last_of(L"\\/") + 1);
  std::wstring commandLine = L"\"" + pending + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(pending.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                     &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace platform
