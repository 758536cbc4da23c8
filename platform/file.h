// A stand-in for MFC's CFile and CFileException, for writing the installation's files.
// On Windows it is CreateFileA with the share modes the flags name. Elsewhere the share modes
// become advisory flock() locks (shareDenyWrite takes a shared lock, sharing with nobody an
// exclusive one), so two users of this class see each other's locks as Windows would show them;
// a file without its owner-write bit counts as read-only even for root. Errors carry the Win32
// error code and the cause code MFC derives from it.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

class CFileException {
 public:
  // MFC's cause codes.
  enum {
    none = 0,
    genericException = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    removeCurrentDir = 7,
    directoryFull = 8,
    badSeek = 9,
    hardIO = 10,
    sharingViolation = 11,
    lockViolation = 12,
    diskFull = 13,
    endOfFile = 14,
  };

  CFileException() = default;
  CFileException(int cause, long osError, const std::string& fileName)
      : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

  // CFileException::OsErrorToException.
  static int OsErrorToException(long osError);

  // A one-line GBK description naming the file, for the standard error box.
  std::string GetErrorMessage() const;

  int m_cause = none;
  long m_lOsError = -1;
  std::string m_strFileName;
};

class CFile {
 public:
  enum : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    typeText = 0x4000,
    typeBinary = 0x8000,
  };
  enum SeekPosition { begin = 0, current = 1, end = 2 };

  CFile() = default;
  ~CFile();  // closes without raising
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // False on failure; the record, when given, receives the cause and the OS error.
  bool Open(const std::string& gbkPath, unsigned flags, CFileException* error = nullptr);
  bool IsOpen() const;

  // These raise CFileException on failure.
  std::uint64_t Seek(std::int64_t offset, SeekPosition from);
  void Write(const void* data, std::uint32_t count);
  std::uint32_t Read(void* data, std::uint32_t count);
  void SetLength(std::uint64_t length);
  std::uint64_t GetLength() const;
  void Flush();  // to the disk (FlushFileBuffers / fsync)
  void Close();

  // Closes without raising (MFC's Abort).
  void Abort();

  const std::string& GetFilePath() const { return path_; }

 private:
  [[noreturn]] void Raise(long osError) const;

#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  std::string path_;
};

}  // namespace platform
