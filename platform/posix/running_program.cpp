#include "platform/running_program.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <utility>

#include "platform/os_error.h"
#include "platform/posix/sys_path.h"

namespace platform {
namespace {

struct Running {
  std::string path;  // GBK
  dev_t dev;
  ino_t ino;
};

std::mutex& Lock() {
  static std::mutex m;
  return m;
}

std::vector<Running>& Files() {
  static std::vector<Running> files = [] {
    std::vector<Running> v;
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    struct stat st;
    // /proc/self/exe is the running file itself, wherever it has been moved since.
    if (n > 0 && stat("/proc/self/exe", &st) == 0)
      v.push_back({Utf8ToGbk(std::string(buf, static_cast<std::size_t>(n))), st.st_dev, st.st_ino});
    return v;
  }();
  return files;
}

}  // namespace

bool IsRunningProgramFile(const std::string& gbkPath) {
  struct stat st;
  if (stat(SysPath(gbkPath).c_str(), &st) != 0) return false;
  std::lock_guard<std::mutex> hold(Lock());
  for (const Running& r : Files())
    if (r.dev == st.st_dev && r.ino == st.st_ino) return true;
  return false;
}

std::vector<std::string> RunningProgramFiles() {
  std::lock_guard<std::mutex> hold(Lock());
  std::vector<std::string> out;
  for (const Running& r : Files()) out.push_back(r.path);
  return out;
}

void RememberRunningLibrary(const std::string& gbkPath) {
  struct stat st;
  if (stat(SysPath(gbkPath).c_str(), &st) != 0) return;
  std::lock_guard<std::mutex> hold(Lock());
  Files().push_back({gbkPath, st.st_dev, st.st_ino});
}

bool ReplaceRunningFile(const std::string& from, const std::string& to, const std::string& aside,
                        const std::string& /*pending*/) {
  const std::string hostFrom = SysPath(from), hostTo = SysPath(to), hostAside = SysPath(aside);
  // The running file gets its second name first, so the program's name never stands empty.
  // A file system without hard links gets two renames.
  struct stat st;
  if (stat(hostTo.c_str(), &st) != 0 && errno == ENOENT) {
    const bool moved = rename(hostFrom.c_str(), hostTo.c_str()) == 0;
    SetLastOsError(moved ? kErrorSuccess : ErrnoToOsError(errno, hostTo.c_str()));
    return moved;
  }
  unlink(hostAside.c_str());
  bool linked = false;
  if (stat(hostTo.c_str(), &st) != 0 || chmod(hostFrom.c_str(), st.st_mode & 07777) != 0 ||
      (!(linked = link(hostTo.c_str(), hostAside.c_str()) == 0) && rename(hostTo.c_str(), hostAside.c_str()) != 0)) {
    SetLastOsError(ErrnoToOsError(errno, hostTo.c_str()));
    return false;
  }
  if (rename(hostFrom.c_str(), hostTo.c_str()) != 0) {
    const long code = ErrnoToOsError(errno, hostTo.c_str());
    if (linked)
      unlink(hostAside.c_str());
    else
      rename(hostAside.c_str(), hostTo.c_str());
    SetLastOsError(code);
    return false;
  }
  SetLastOsError(kErrorSuccess);
  return true;
}

std::string NewestProgramContent(const std::string& path, const std::string& /*pending*/) { return path; }

void FinishProgramReplacements(const std::string& libraryName, const std::string& pendingSuffix,
                               const std::string& asideSuffix) {
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return;
  std::string folder(buf, static_cast<std::size_t>(n));
  folder.erase(folder.rfind('/') + 1);
  const std::string library = folder + libraryName;
  struct stat st;
  if (lstat(library.c_str(), &st) == 0 || errno != ENOENT) return;
  // Only a whole file ever gets either name, so either copy can stand in.
  for (const std::string& copy : {library + pendingSuffix, library + asideSuffix})
    if (stat(copy.c_str(), &st) == 0 && S_ISREG(st.st_mode) && rename(copy.c_str(), library.c_str()) == 0) return;
}

void StartPendingProgram(const std::string& /*pendingSuffix*/) {}

}  // namespace platform
