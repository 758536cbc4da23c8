#include "package/update_sec.h"

#include <cstdio>
#include <set>

#include "package/patched_copy.h"
#include "platform/file_system.h"
#include "platform/running_program.h"
#include "platform/message_box.h"
#include "platform/thread_support.h"

namespace {

const std::uint32_t kRetryWaitMs = 5000;

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

// Folders this run made or found: each is made once, not once for every file below it.
std::set<std::string>& KnownFolders() {
  static std::set<std::string> folders;
  return folders;
}

void MakeFolders(const std::string& target) {
  std::string::size_type first = target.find('/');
  if (first == std::string::npos) return;
  std::string::size_type last = target.rfind('/');
  if (last == first || KnownFolders().count(target.substr(0, last))) return;
  for (std::string::size_type at = target.find('/', first + 1); at != std::string::npos;
       at = target.find('/', at + 1)) {
    std::string folder = target.substr(0, at);
    if (!KnownFolders().insert(folder).second) continue;
    for (char& c : folder)
      if (c == '/') c = '\\';
    platform::MakeDir(folder);
  }
}

bool OpenModiTarget(const std::string& rootDir, const std::string& name, platform::CFile* file, bool* skipped) {
  const std::string target = rootDir + name;
  *skipped = false;
  platform::CFileException error;  // cause 0, OS error -1 until an open fails
  for (;;) {
    if (file->Open(target, platform::CFile::modeWrite | platform::CFile::shareDenyWrite, &error)) return true;
    platform::CFile probe;
    bool probeOpened = probe.Open(rootDir + "data/micro_client.ini", platform::CFile::modeWrite);
    probe.Abort();
    // Only the game's own folders count: an installation below D:/software/ is no reason to pass
    // over its files.
    if (target.find("ZorIzedod") == std::string::npos && ("/" + name).find("/software/") != std::string::npos &&
        probeOpened) {
      *skipped = true;
      return false;
    }
    if (!AskRetry(Format(kModiFailed, target, error.m_cause, static_cast<int>(error.m_lOsError)))) return false;
  }
}

}  // namespace

bool BeginAddf(const std::string& target, AddfWriter* writer) {
  MakeFolders(target);
  if (writer->Open(target)) return true;
  // A folder this run made may have gone since: make them all again once.
  KnownFolders().clear();
  MakeFolders(target);
  while (!writer->Open(target))
    if (!AskRetry(Format(kAddfFailed, target))) return false;
  return true;
}

bool FinishAddf(const std::string& target, AddfWriter* writer) {
  while (!writer->Commit()) {
    if (!AskRetry(Format(kAddfFailed, target))) {
      writer->Abort();
      return false;
    }
  }
  return true;
}

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
    AddfWriter writer;
    if (!BeginAddf(target, &writer)) return false;
    writer.Write(data, dataLength);
    return FinishAddf(target, &writer);
  }

  // The program's own running file cannot be written in place: the runs go into a copy that replaces it.
  if (platform::IsRunningProgramFile(target)) {
    AddfWriter copy;
    if (!BeginAddf(target, &copy)) return false;
    if (WritePatchedCopy(target, data, dataLength, SectionFileLength(section), &copy)) return FinishAddf(target, &copy);
    copy.Abort();
  }

  platform::CFile file;
  bool skipped = false;
  if (!OpenModiTarget(rootDir, name, &file, &skipped)) return skipped;
  WritePatchRuns(file, data, dataLength);
  file.SetLength(SectionFileLength(section));
  file.Close();
  return true;
}
