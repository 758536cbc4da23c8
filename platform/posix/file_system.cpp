#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os_error.h"
#include "platform/posix/sys_path.h"

namespace platform {
namespace {

bool Fail(const std::string& host) {
  SetLastOsError(ErrnoToOsError(errno, host.c_str()));
  return false;
}
bool Ok() {
  SetLastOsError(kErrorSuccess);
  return true;
}

struct Search {
  DIR* dir;
  std::string hostDir;  // with trailing "/"
  std::string match;    // fnmatch pattern, empty for everything
};

bool Fill(Search* s, FindData* data) {
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(s->dir);
    if (!e) {
      SetLastOsError(kErrorNoMoreFiles);
      return false;
    }
    if (!s->match.empty() && fnmatch(s->match.c_str(), e->d_name, 0) != 0) continue;
    std::string full = s->hostDir + e->d_name;
    struct stat st;
    bool link = lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    struct stat target;
    bool dir = link ? (stat(full.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) : S_ISDIR(st.st_mode);
    data->name = Utf8ToGbk(e->d_name);
    data->isDirectory = dir;
    data->isReparsePoint = link;
    return true;
  }
}

}  // namespace

bool SetFileAttributesNormal(const std::string& path) {
  std::string host = SysPath(path);
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return Fail(host);
  if (!(st.st_mode & S_IWUSR) && chmod(host.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) return Fail(host);
  return Ok();
}

bool SetFileReadOnly(const std::string& path) {
  std::string host = SysPath(path);
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return Fail(host);
  if (chmod(host.c_str(), (st.st_mode & 07777) & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) != 0)
    return Fail(host);
  return Ok();
}

bool IsFileReadOnly(const std::string& path) {
  struct stat st;
  return stat(SysPath(path).c_str(), &st) == 0 && !(st.st_mode & S_IWUSR);
}

PathKind GetPathKind(const std::string& path) {
  struct stat st;
  if (lstat(SysPath(path).c_str(), &st) != 0) return PathKind::kNone;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kFile;
}

std::uint64_t FileSizeOf(const std::string& path) {
  struct stat st;
  if (stat(SysPath(path).c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

bool MakeDir(const std::string& path) {
  std::string host = SysPath(path);
  return mkdir(host.c_str(), 0777) == 0 ? Ok() : Fail(host);
}

bool DeleteFile(const std::string& path) {
  std::string host = SysPath(path);
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return Fail(host);
  if (S_ISDIR(st.st_mode)) {
    SetLastOsError(kErrorAccessDenied);
    return false;
  }
  // A read-only file stays, as DeleteFileA leaves it.
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    SetLastOsError(kErrorAccessDenied);
    return false;
  }
  return unlink(host.c_str()) == 0 ? Ok() : Fail(host);
}

bool RemoveDirectory(const std::string& path) {
  std::string host = SysPath(path);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return Fail(host);
  if (S_ISLNK(st.st_mode)) {
    struct stat target;
    if (stat(host.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) {
      SetLastOsError(kErrorDirectory);
      return false;
    }
    return unlink(host.c_str()) == 0 ? Ok() : Fail(host);
  }
  if (rmdir(host.c_str()) == 0) return Ok();
  if (errno == ENOTDIR) {
    SetLastOsError(kErrorDirectory);
    return false;
  }
  return Fail(host);
}

bool RemoveLink(const std::string& path) {
  std::string host = SysPath(path);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return Fail(host);
  if (!S_ISLNK(st.st_mode)) {
    SetLastOsError(kErrorInvalidParameter);
    return false;
  }
  return unlink(host.c_str()) == 0 ? Ok() : Fail(host);
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  std::string hostFrom = SysPath(from), hostTo = SysPath(to);
  struct stat st;
  if (stat(hostTo.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      SetLastOsError(kErrorAccessDenied);
      return false;
    }
    // The new file takes over the old one's permission bits: an executable stays one.
    if (chmod(hostFrom.c_str(), st.st_mode & 07777) != 0) return Fail(hostFrom);
  }
  if (rename(hostFrom.c_str(), hostTo.c_str()) != 0) return Fail(hostTo);
  return Ok();
}

void* FindFirst(const std::string& pattern, FindData* data) {
  std::string host = SysPath(pattern);
  std::string::size_type slash = host.rfind('/');
  std::string dir = slash == std::string::npos ? "." : host.substr(0, slash);
  std::string match = slash == std::string::npos ? host : host.substr(slash + 1);
  if (dir.empty()) dir = "/";
  if (match == "*" || match == "*.*") match.clear();
  DIR* d = opendir(dir.c_str());
  if (!d) {
    Fail(dir + "/");
    return nullptr;
  }
  Search* s = new Search{d, dir.back() == '/' ? dir : dir + "/", match};
  if (!Fill(s, data)) {
    closedir(d);
    delete s;
    SetLastOsError(kErrorFileNotFound);
    return nullptr;
  }
  return s;
}

bool FindNext(void* search, FindData* data) { return search && Fill(static_cast<Search*>(search), data); }

void FindClose(void* search) {
  if (!search) return;
  Search* s = static_cast<Search*>(search);
  closedir(s->dir);
  delete s;
}

std::string GetCurrentDirectory() {
  char buf[PATH_MAX];
  if (!getcwd(buf, sizeof buf)) return std::string();
  return Utf8ToGbk(buf);
}

bool SetCurrentDirectory(const std::string& path) {
  std::string host = SysPath(path);
  return chdir(host.c_str()) == 0 ? Ok() : Fail(host);
}

}  // namespace platform
