// Win32 error codes as both builds report them. On Windows they come from GetLastError(); elsewhere
// errno is mapped onto the code Windows would give for the same failure.
#pragma once
#include <cstdint>

namespace platform {

enum : long {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidDrive = 15,
  kErrorCurrentDirectory = 16,
  kErrorNotSameDevice = 17,
  kErrorNoMoreFiles = 18,
  kErrorWriteProtect = 19,
  kErrorNotReady = 21,
  kErrorSeek = 25,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorLockViolation = 33,
  kErrorHandleEof = 38,
  kErrorHandleDiskFull = 39,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorCannotMake = 82,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorDiskFull = 112,
  kErrorInvalidName = 123,
  kErrorNegativeSeek = 131,
  kErrorDirNotEmpty = 145,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorFilenameExcedRange = 206,
  kErrorDirectory = 267,
  kErrorIoDevice = 1117,
  kErrorCantResolveFilename = 1921,
};

// The calling thread's last error of a platform call, as a Win32 code.
long LastOsError();

#ifndef _WIN32
// errno onto the Win32 code. ENOENT becomes "path not found" when the folder above is missing,
// as Windows tells the two apart; path may be null when there is none.
long ErrnoToOsError(int err, const char* hostPath);
// Remembers a mapped code for LastOsError().
void SetLastOsError(long code);
#endif

}  // namespace platform
