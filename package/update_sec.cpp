#include "package/update_sec.h"

#include <cstdio>

#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/thread_support.h"

namespace {

const std::uint32_t kRetryWaitMs = 5000;

// Written beside the target and moved over it in one step, so the target is never torn.
const char kTempSuffix[] = ".nolkpatch-new";

std::string Format(const char* format, const std::string& path, int a = 0, int b = 0) {
  int n = std::snprintf(nullptr, 0, format, path.c_str(), a, b);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  std::snprintf(&text[0], text.size() + 1, format, path.c_str(), a, b);
  return text;
}

bool InvalidSection(const std::string& packageName) {
  platform::AppMessageBox(packageName + "含有不合法的数据节!", platform::kMbIconError);
  return false;
}

bool AskRetry(const std::string& text) {
  if (platform::AppMessageBox(text, platform::kMbRetryCancel) != platform::kIdRetry) return false;
  platform::SleepMs(kRetryWaitMs);
  return true;
}

const char kAddfFailed[] =
    "增添文件[%s]失败!\n请确认更新时游戏不在运行。\n也有可能后台有病毒扫描程序正在工作，可以稍等片刻再重试。\n";
const char kModiFailed[] =
    "打开要更新的文件[%s]失败!错误码：%d %d\n请确认更新时游戏不在运行。\n"
    "也有可能后台有病毒扫描程序正在工作，可以稍等片刻再重试。\n";

void MakeFolders(const std::string& target) {
  std::string::size_type first = target.find('/');
  if (first == std::string::npos) return;
  for (std::string::size_type at = target.find('/', first + 1); at != std::string::npos;
       at = target.find('/', at + 1)) {
    std::string folder = target.substr(0, at);
    for (char& c : folder)
      if (c == '/') c = '\\';
    platform::MakeDir(folder);
  }
}

bool OpenModiTarget(const std::string& rootDir, const std::string& target, platform::CFile* file, bool* skipped) {
  *skipped = false;
  platform::CFileException error;  // cause 0, OS error -1 until an open fails
  for (;;) {
    if (file->Open(target, platform::CFile::modeWrite | platform::CFile::shareDenyWrite, &error)) return true;
    platform::CFile probe;
    bool probeOpened = probe.Open(rootDir + "data/micro_client.ini", platform::CFile::modeWrite);
    probe.Abort();
    if (target.find("ZorIzedod") == std::string::npos && target.find("/software/") != std::string::npos &&
        probeOpened) {
      *skipped = true;
      return false;
    }
    if (!AskRetry(Format(kModiFailed, target, error.m_cause, static_cast<int>(error.m_lOsError)))) return false;
  }
}

bool WriteWholeFile(const std::string& target, const unsigned char* data, std::uint32_t length) {
  const std::string temp = target + kTempSuffix;
  bool written = false;
  for (;;) {
    if (!written) {
      platform::CFile file;
      platform::SetFileAttributesNormal(temp);
      if (file.Open(temp, platform::CFile::modeCreate | platform::CFile::modeWrite | platform::CFile::shareDenyWrite)) {
        try {
          file.Write(data, length);
          file.SetLength(length);
          // No flush to the disk per file: the rename already keeps a dying process or a full disk
          // from tearing the target, and a flush per file would double the time of a package.
          file.Close();
        } catch (...) {
          // A full disk leaves the old target as it was, and no half-written copy beside it.
          file.Abort();
          platform::DeleteFile(temp);
          throw;
        }
        written = true;
      }
    }
    if (written) {
      // The target must be free for writing, as when it was opened in place.
      bool free = true;
      if (platform::GetPathKind(target) != platform::PathKind::kNone) {
        platform::SetFileAttributesNormal(target);
        platform::CFile check;
        free = check.Open(target, platform::CFile::modeWrite | platform::CFile::shareDenyWrite);
        check.Abort();
      }
      if (free && platform::ReplaceFileWith(temp, target)) return true;
    }
    if (!AskRetry(Format(kAddfFailed, target))) {
      if (written) platform::DeleteFile(temp);
      return false;
    }
  }
}

}  // namespace

bool CheckPatchRuns(const unsigned char* runs, std::uint32_t length) {
  std::uint64_t i = 0;
  while (i < length) {
    if (length - i < 8) return false;
    std::uint32_t count = ReadLe32(runs + i + 4);
    i += 8;
    if (count > length - i) return false;
    i += count;
  }
  return true;
}

bool WritePatchRuns(platform::CFile& file, const unsigned char* runs, std::uint32_t length) {
  // All runs are checked before the first byte is written, so a bad record changes nothing.
  if (!CheckPatchRuns(runs, length)) return false;
  std::uint64_t i = 0;
  while (i < length) {
    std::uint32_t skip = ReadLe32(runs + i);
    std::uint32_t count = ReadLe32(runs + i + 4);
    i += 8;
    if (skip) file.Seek(static_cast<std::int64_t>(skip), platform::CFile::current);
    if (count) file.Write(runs + i, count);
    i += count;
  }
  return true;
}

bool ApplyUpdateSec(const std::string& packageName, const std::string& rootDir, const unsigned char* section) {
  const std::uint32_t kind = SectionKind(section);
  if (kind != kSectionModi && kind != kSectionAddf) return InvalidSection(packageName);
  const std::string name = SectionName(section);
  if (!IsSafeSectionName(name)) return InvalidSection(packageName);
  const std::uint32_t dataLength = SectionDataLength(section);
  const unsigned char* data = SectionData(section);
  if (kind == kSectionModi && !CheckPatchRuns(data, dataLength)) return InvalidSection(packageName);

  const std::string target = rootDir + name;
  platform::SetFileAttributesNormal(target);

  if (kind == kSectionAddf) {
    MakeFolders(target);
    return WriteWholeFile(target, data, dataLength);
  }

  platform::CFile file;
  bool skipped = false;
  if (!OpenModiTarget(rootDir, target, &file, &skipped)) return skipped;
  WritePatchRuns(file, data, dataLength);
  file.SetLength(SectionFileLength(section));
  file.Close();
  return true;
}
