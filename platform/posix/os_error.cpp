#include "platform/os_error.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>

namespace platform {
namespace {
thread_local long lastOsError = kErrorSuccess;

bool ParentExists(const char* hostPath) {
  std::string p(hostPath);
  while (!p.empty() && p.back() == '/') p.pop_back();
  std::string::size_type slash = p.rfind('/');
  if (slash == std::string::npos) return true;  // the current folder
  std::string parent = slash == 0 ? "/" : p.substr(0, slash);
  struct stat st;
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

long LastOsError() { return lastOsError; }
void SetLastOsError(long code) { lastOsError = code; }

long ErrnoToOsError(int err, const char* hostPath) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return hostPath && !ParentExists(hostPath) ? kErrorPathNotFound : kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EXDEV:
      return kErrorNotSameDevice;
    case EROFS:
      return kErrorWriteProtect;
    case EWOULDBLOCK:
      return kErrorSharingViolation;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      return kErrorDiskFull;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case ELOOP:
      return kErrorCantResolveFilename;
    case EBUSY:
    case ETXTBSY:
      return kErrorBusy;
    case EPIPE:
      return kErrorBrokenPipe;
    case EIO:
      return kErrorIoDevice;
    case ESPIPE:
      return kErrorSeek;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace platform
