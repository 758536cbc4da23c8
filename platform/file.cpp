#include "platform/file.h"

#include "platform/os_error.h"

namespace platform {

int CFileException::OsErrorToException(long osError) {
  // MFC's table, Win32 error code to cause; every other code is generic.
  static const struct {
    long osError;
    int cause;
  } kTable[] = {
      {0, 0},   {2, 2},    {3, 3},   {4, 4},    {5, 5},   {6, 2},    {11, 6},   {12, 5},   {15, 3},  {16, 7},
      {17, 3},  {18, 2},   {19, 5},  {20, 10},  {21, 10}, {22, 10},  {23, 10},  {24, 9},   {25, 9},  {26, 6},
      {27, 9},  {29, 5},   {30, 9},  {32, 11},  {33, 12}, {34, 3},   {36, 4},   {38, 14},  {39, 13}, {52, 3},
      {53, 3},  {54, 5},   {55, 3},  {57, 10},  {58, 5},  {59, 10},  {60, 6},   {62, 8},   {64, 5},  {65, 5},
      {66, 6},  {67, 3},   {68, 4},  {70, 3},   {71, 5},  {80, 5},   {82, 5},   {85, 3},   {86, 5},  {88, 10},
      {107, 2}, {108, 12}, {111, 3}, {112, 13}, {113, 4}, {114, 6},  {117, 10}, {123, 3},  {124, 3}, {125, 3},
      {131, 9}, {132, 9},  {144, 3}, {145, 7},  {154, 3}, {161, 3},  {167, 12}, {170, 5},  {182, 6}, {183, 5},
      {191, 6}, {193, 6},  {206, 3}, {208, 3},  {267, 3}, {995, 10}, {996, 10}, {997, 10}, {999, 5},
  };
  for (const auto& row : kTable)
    if (row.osError == osError) return row.cause;
  return genericException;
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
    case removeCurrentDir:
      what = "无法删除当前文件夹";
      break;
    case directoryFull:
      what = "文件夹已满";
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
