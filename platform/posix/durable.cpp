#include "platform/durable.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "platform/file.h"
#include "platform/os_error.h"
#include "platform/posix/sys_path.h"

namespace platform {

namespace {

// Host folders of the files written since the last barrier: syncfs needs one per file system.
std::set<std::string>& WrittenFolders() {
  static std::set<std::string> folders;
  return folders;
}

std::string HostFolderOf(const std::string& gbkPath) {
  std::string host = SysPath(gbkPath);
  std::string::size_type slash = host.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : host.substr(0, slash);
}

[[noreturn]] void RaiseFor(const std::string& gbkName, int err) {
  long code = ErrnoToOsError(err, nullptr);
  SetLastOsError(code);
  throw CFileException(CFileException::OsErrorToException(code), code, gbkName);
}

int OpenFolder(const std::string& host) { return ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

}  // namespace

void NoteWritten(const std::string& path) { WrittenFolders().insert(HostFolderOf(path)); }

void FlushWritten() {
  std::set<dev_t> synced;
  for (const std::string& folder : WrittenFolders()) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;  // removed since: nothing of it is left to keep
      RaiseFor(Utf8ToGbk(folder), errno);
    }
    if (!synced.insert(st.st_dev).second) continue;
    int fd = OpenFolder(folder);
    if (fd < 0) RaiseFor(Utf8ToGbk(folder), errno);
    int rc = syncfs(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) {
      synced.erase(st.st_dev);
      RaiseFor(Utf8ToGbk(folder), err);
    }
  }
  WrittenFolders().clear();
}

void FlushFolder(const std::string& folder) {
  std::string host = SysPath(folder);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  if (host.empty()) host = ".";
  int fd = OpenFolder(host);
  if (fd < 0) RaiseFor(folder, errno);
  int rc = fsync(fd);
  int err = errno;
  ::close(fd);
  if (rc != 0 && err != EINVAL) RaiseFor(folder, err);
}

}  // namespace platform
