#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os_error.h"
#include "platform/posix/sys_path.h"

namespace platform {

CFile::~CFile() { Abort(); }

bool CFile::IsOpen() const { return fd_ >= 0; }

bool CFile::Open(const std::string& gbkPath, unsigned flags, CFileException* error) {
  Abort();
  const std::string host = SysPath(gbkPath);
  auto fail = [&](long code) {
    SetLastOsError(code);
    if (error) {
      error->m_lOsError = code;
      error->m_cause = CFileException::OsErrorToException(code);
      error->m_strFileName = gbkPath;
    }
    return false;
  };

  const unsigned access = flags & 0x3;
  const bool writing = access == modeWrite || access == modeReadWrite;
  int oflags = access == modeWrite ? O_WRONLY : access == modeReadWrite ? O_RDWR : O_RDONLY;
  if (flags & modeCreate) oflags |= O_CREAT;
  oflags |= O_CLOEXEC;

  struct stat st;
  const bool exists = stat(host.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode)) return fail(kErrorAccessDenied);
    // The read-only attribute holds for root too, as on Windows.
    if (writing && !(st.st_mode & S_IWUSR)) return fail(kErrorAccessDenied);
  }

  // A file made just now by this open is empty already and needs no cut.
  bool made = false;
  int fd = -1;
  if ((flags & modeCreate) && !exists) {
    fd = ::open(host.c_str(), oflags | O_EXCL, 0666);
    made = fd >= 0;
  }
  if (fd < 0) fd = ::open(host.c_str(), oflags, 0666);
  if (fd < 0) return fail(ErrnoToOsError(errno, host.c_str()));

  // Share modes as advisory locks; cut the file only once the lock is ours.
  const unsigned share = flags & 0x70;
  int lock = share == shareDenyNone ? 0 : share == shareDenyWrite ? LOCK_SH : LOCK_EX;
  if (lock && flock(fd, lock | LOCK_NB) != 0) {
    ::close(fd);
    return fail(kErrorSharingViolation);
  }
  if ((flags & modeCreate) && !(flags & modeNoTruncate) && !made && ftruncate(fd, 0) != 0) {
    long code = ErrnoToOsError(errno, host.c_str());
    ::close(fd);
    return fail(code);
  }
  fd_ = fd;
  path_ = gbkPath;
  SetLastOsError(kErrorSuccess);
  return true;
}

void CFile::Raise(long osError) const {
  SetLastOsError(osError);
  throw CFileException(CFileException::OsErrorToException(osError), osError, path_);
}

std::uint64_t CFile::Seek(std::int64_t offset, SeekPosition from) {
  if (fd_ < 0) Raise(kErrorInvalidHandle);
  int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : SEEK_END;
  off_t pos = lseek(fd_, static_cast<off_t>(offset), whence);
  if (pos < 0) Raise(errno == EINVAL ? kErrorNegativeSeek : ErrnoToOsError(errno, nullptr));
  return static_cast<std::uint64_t>(pos);
}

void CFile::Write(const void* data, std::uint32_t count) {
  if (fd_ < 0) Raise(kErrorInvalidHandle);
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t n = ::write(fd_, p, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      Raise(ErrnoToOsError(errno, nullptr));
    }
    if (n == 0) Raise(kErrorDiskFull);
    p += n;
    count -= static_cast<std::uint32_t>(n);
  }
}

std::uint32_t CFile::Read(void* data, std::uint32_t count) {
  if (fd_ < 0) Raise(kErrorInvalidHandle);
  char* p = static_cast<char*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd_, p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Raise(ErrnoToOsError(errno, nullptr));
    }
    if (n == 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  return done;
}

void CFile::SetLength(std::uint64_t length) {
  if (fd_ < 0) Raise(kErrorInvalidHandle);
  if (ftruncate(fd_, static_cast<off_t>(length)) != 0) Raise(ErrnoToOsError(errno, nullptr));
}

std::uint64_t CFile::GetLength() const {
  struct stat st;
  if (fd_ < 0) Raise(kErrorInvalidHandle);
  if (fstat(fd_, &st) != 0) Raise(ErrnoToOsError(errno, nullptr));
  return static_cast<std::uint64_t>(st.st_size);
}

void CFile::Flush() {
  if (fd_ < 0) Raise(kErrorInvalidHandle);
  if (fsync(fd_) != 0 && errno != EINVAL) Raise(ErrnoToOsError(errno, nullptr));
}

void CFile::Close() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) Raise(ErrnoToOsError(errno, nullptr));
}

void CFile::Abort() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace platform
