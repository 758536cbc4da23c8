#include "update/package_check.h"

#include <cstdio>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "platform/stdio_file.h"
#include "update/run_log.h"

namespace {

const std::uint32_t kDigestChunk = 10485760;  // 10 MiB a read

}  // namespace

bool VerifyPackageFile(const std::string& path, const std::string& md5, const std::atomic<bool>* stop) {
  // Opened without sharing restrictions; it stays open while the digester reads it.
  std::FILE* file = platform::OpenStdFile(path, "rb");
  if (!file) return false;
  // Some systems open a folder for reading; its first read fails.
  if (std::fgetc(file) == EOF && std::ferror(file)) {
    std::fclose(file);
    return false;
  }
  const std::string actual = GetFileMD5(path, kDigestChunk, stop);
  std::fclose(file);
  if (stop && stop->load()) return false;
  if (actual == md5) {
    WriteRunLog("文件已存在，MD5校验成功 %s %s", path.c_str(), md5.c_str());
    return true;
  }
  WriteRunLog("文件已存在，MD5校验失败，需要重新下载 %s %s %s", path.c_str(), md5.c_str(), actual.c_str());
  return false;
}
