#include "platform/file.h"

#include "platform/os_error.h"

namespace platform {

int CFileException::OsErrorToException(long osError) {
  switch (osError) {
    case kErrorSuccess:
      return none;
    case kErrorFileNotFound:
    case kErrorNoMoreFiles:
      return fileNotFound;
    case kErrorPathNotFound:
    case kErrorInvalidDrive:
    case kErrorNotSameDevice:
    case kErrorInvalidParameter:
    case kErrorInvalidName:
    case kErrorFilenameExcedRange:
    case kErrorDirectory:
    case kErrorCantResolveFilename:
      return badPath;
    case kErrorTooManyOpenFiles:
      return tooManyOpenFiles;
    case kErrorAccessDenied:
    case kErrorCurrentDirectory:
    case kErrorWriteProtect:
    case kErrorFileExists:
    case kErrorCannotMake:
    case kErrorAlreadyExists:
      return accessDenied;
    case kErrorInvalidHandle:
      return invalidFile;
    case kErrorSeek:
    case kErrorNegativeSeek:
      return badSeek;
    case kErrorNotReady:
    case kErrorWriteFault:
    case kErrorReadFault:
    case kErrorIoDevice:
      return hardIO;
    case kErrorSharingViolation:
      return sharingViolation;
    case kErrorLockViolation:
      return lockViolation;
    case kErrorHandleDiskFull:
    case kErrorDiskFull:
      return diskFull;
    case kErrorHandleEof:
      return endOfFile;
    default:
      return genericException;
  }
}

std::string CFileException::GetErrorMessage() const {
  const char* what;
  switch (m_cause) {
    case fileNotFound:
      what = "找不到文件";
      break;
    case badPath:
      what = "路径无效";
      break;
    case tooManyOpenFiles:
      what = "打开的文件过多";
      break;
    case accessDenied:
      what = "拒绝访问";
      break;
    case invalidFile:
      what = "文件句柄无效";
      break;
    case badSeek:
      what = "文件定位出错";
      break;
    case hardIO:
      what = "硬件读写出错";
      break;
    case sharingViolation:
      what = "共享冲突";
      break;
    case lockViolation:
      what = "锁定冲突";
      break;
    case diskFull:
      what = "磁盘已满";
      break;
    case endOfFile:
      what = "已到文件末尾";
      break;
    default:
      what = "发生未知错误";
      break;
  }
  return std::string("访问文件 ") + m_strFileName + " 时" + what + "。";
}

}  // namespace platform
