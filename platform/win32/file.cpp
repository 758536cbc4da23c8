#include <windows.h>

#include "platform/file.h"
#include "platform/os_error.h"
#include "platform/win32/wide_path.h"

namespace platform {

long LastOsError() { return static_cast<long>(GetLastError()); }

CFile::~CFile() { Abort(); }

bool CFile::IsOpen() const { return handle_ != nullptr; }

bool CFile::Open(const std::string& gbkPath, unsigned flags, CFileException* error) {
  Abort();
  const unsigned access = flags & 0x3;
  DWORD desired = access == modeWrite       ? GENERIC_WRITE
                  : access == modeReadWrite ? GENERIC_READ | GENERIC_WRITE
                                            : GENERIC_READ;
  DWORD share = 0;
  switch (flags & 0x70) {
    case shareDenyWrite:
      share = FILE_SHARE_READ;
      break;
    case shareDenyRead:
      share = FILE_SHARE_WRITE;
      break;
    case shareDenyNone:
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    default:  // shareCompat and shareExclusive share with nobody, as in MFC
      share = 0;
      break;
  }
  DWORD disposition = OPEN_EXISTING;
  if (flags & modeCreate) disposition = (flags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE h = CreateFileW(WidePath(gbkPath).c_str(), desired, share, &sa, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (error) {
      error->m_lOsError = static_cast<long>(code);
      error->m_cause = CFileException::OsErrorToException(static_cast<long>(code));
      error->m_strFileName = gbkPath;
    }
    SetLastError(code);
    return false;
  }
  handle_ = h;
  path_ = gbkPath;
  return true;
}

void CFile::Raise(long osError) const {
  throw CFileException(CFileException::OsErrorToException(osError), osError, path_);
}

std::uint64_t CFile::Seek(std::int64_t offset, SeekPosition from) {
  if (!handle_) Raise(ERROR_INVALID_HANDLE);
  LARGE_INTEGER move, pos;
  move.QuadPart = offset;
  DWORD method = from == begin ? FILE_BEGIN : from == current ? FILE_CURRENT : FILE_END;
  if (!SetFilePointerEx(static_cast<HANDLE>(handle_), move, &pos, method)) Raise(static_cast<long>(GetLastError()));
  return static_cast<std::uint64_t>(pos.QuadPart);
}

void CFile::Write(const void* data, std::uint32_t count) {
  if (!handle_) Raise(ERROR_INVALID_HANDLE);
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), p, count, &written, nullptr)) Raise(static_cast<long>(GetLastError()));
    // A short write means the disk is full, as MFC reports it.
    if (written == 0) Raise(ERROR_DISK_FULL);
    p += written;
    count -= written;
  }
}

std::uint32_t CFile::Read(void* data, std::uint32_t count) {
  if (!handle_) Raise(ERROR_INVALID_HANDLE);
  DWORD got = 0;
  if (!ReadFile(static_cast<HANDLE>(handle_), data, count, &got, nullptr)) Raise(static_cast<long>(GetLastError()));
  return got;
}

void CFile::SetLength(std::uint64_t length) {
  if (!handle_) Raise(ERROR_INVALID_HANDLE);
  LARGE_INTEGER zero, here, target;
  zero.QuadPart = 0;
  target.QuadPart = static_cast<LONGLONG>(length);
  HANDLE h = static_cast<HANDLE>(handle_);
  if (!SetFilePointerEx(h, zero, &here, FILE_CURRENT)) Raise(static_cast<long>(GetLastError()));
  if (!SetFilePointerEx(h, target, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) Raise(static_cast<long>(GetLastError()));
  SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
}

std::uint64_t CFile::GetLength() const {
  if (!handle_) Raise(ERROR_INVALID_HANDLE);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) Raise(static_cast<long>(GetLastError()));
  return static_cast<std::uint64_t>(size.QuadPart);
}

void CFile::Flush() {
  if (!handle_) Raise(ERROR_INVALID_HANDLE);
  if (!FlushFileBuffers(static_cast<HANDLE>(handle_))) Raise(static_cast<long>(GetLastError()));
}

void CFile::Close() {
  if (!handle_) return;
  HANDLE h = static_cast<HANDLE>(handle_);
  handle_ = nullptr;
  if (!CloseHandle(h)) Raise(static_cast<long>(GetLastError()));
}

void CFile::Abort() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

}  // namespace platform
