#include "package/update_sec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "platform/durable.h"
#include "package/patched_copy.h"
#include "package/program_files.h"
#include "platform/file_system.h"
#include "platform/running_program.h"
#include "platform/message_box.h"
#include "platform/os_error.h"
#include "platform/thread_support.h"
#include "update/strings.h"

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

void MakeFolders(const std::string& target, std::vector<std::string>* made = nullptr) {
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
    if (platform::MakeDir(folder) && made) made->push_back(target.substr(0, at));
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

// One of the program's own files: the runs go into a copy of its newest content, which then takes
// its place. patch writes the copy from a source file; false when the source cannot be read.
bool ModiOnCopy(const std::string& target,
                const std::function<bool(const std::string& source, AddfWriter* copy)>& patch) {
  const std::string source = platform::NewestProgramContent(target, target + kPendingSuffix);
  for (;;) {
    AddfWriter copy;
    if (!BeginAddf(target, &copy)) return false;
    if (patch(source, &copy)) return FinishAddf(target, &copy);
    const long code = platform::LastOsError();
    copy.Abort();
    // As when the file cannot be opened in place.
    if (!AskRetry(Format(kModiFailed, target, platform::CFileException::OsErrorToException(code),
                         static_cast<int>(code))))
      return false;
  }
}

}  // namespace

bool BeginAddf(const std::string& target, AddfWriter* writer, std::vector<std::string>* made) {
  MakeFolders(target, made);
  if (writer->Open(target)) return true;
  // A folder this run made may have gone since: make them all again once.
  KnownFolders().clear();
  MakeFolders(target, made);
  while (!writer->Open(target))
    if (!AskRetry(Format(kAddfFailed, target))) return false;
  return true;
}

void RemoveMadeFolders(const std::vector<std::string>& made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    KnownFolders().erase(*it);
    platform::RemoveDirectory(*it);
  }
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

bool PatchRunStream::Feed(const unsigned char* data, std::size_t count, platform::CFile* file) {
  if (!ok_ || count > left_) return ok_ = false;
  left_ -= count;
  while (count > 0) {
    if (run_ == 0) {
      const std::size_t take = std::min(sizeof head_ - have_, count);
      std::memcpy(head_ + have_, data, take);
      have_ += take;
      data += take;
      count -= take;
      if (have_ < sizeof head_) break;
      have_ = 0;
      const std::uint32_t skip = ReadLe32(head_);
      const std::uint32_t bytes = ReadLe32(head_ + 4);
      if (bytes > count + left_) return ok_ = false;
      if (file && skip) file->Seek(static_cast<std::int64_t>(skip), platform::CFile::current);
      run_ = bytes;
    } else {
      const std::uint32_t take = static_cast<std::uint32_t>(std::min<std::size_t>(run_, count));
      if (file) file->Write(data, take);
      run_ -= take;
      data += take;
      count -= take;
    }
  }
  return true;
}

bool ApplyModiFromFile(const std::string& packageName, const std::string& rootDir, const unsigned char* head,
                       const std::string& dataPath, bool runsValid) {
  const std::string name = SectionName(head);
  if (!runsValid || !IsSafeSectionName(name)) return InvalidSection(packageName);
  platform::SetFileAttributesNormal(rootDir + name);
  if (IsPatcherFile(rootDir + name)) {
    return ModiOnCopy(rootDir + name, [&](const std::string& source, AddfWriter* copy) {
      return WritePatchedCopyFromFile(source, dataPath, SectionDataLength(head), SectionFileLength(head), copy);
    });
  }
  platform::CFile file;
  bool skipped = false;
  if (!OpenModiTarget(rootDir, name, &file, &skipped)) return skipped;
  platform::CFile data;
  platform::CFileException error;
  if (!data.Open(dataPath, platform::CFile::modeRead | platform::CFile::shareDenyWrite, &error))
    throw platform::CFileException(error.m_cause, error.m_lOsError, dataPath);
  PatchRunStream runs(SectionDataLength(head));
  std::vector<unsigned char> piece(1u << 20);
  for (;;) {
    const std::uint32_t got = data.Read(piece.data(), static_cast<std::uint32_t>(piece.size()));
    if (got == 0) break;
    runs.Feed(piece.data(), got, &file);
  }
  data.Close();
  file.SetLength(SectionFileLength(head));
  file.Close();
  platform::NoteWritten(rootDir + name);
  return true;
}

namespace {

bool ReadWhole(const std::string& path, std::vector<unsigned char>* content) {
  platform::CFile file;
  if (!file.Open(path, platform::CFile::modeRead | platform::CFile::shareDenyWrite)) return false;
  content->resize(static_cast<std::size_t>(file.GetLength()));
  if (!content->empty() && file.Read(content->data(), static_cast<std::uint32_t>(content->size())) != content->size())
    return false;
  file.Close();
  return true;
}

// The runs as WritePatchRuns writes them, over a copy of the file; the runs were checked.
void PatchInMemory(const unsigned char* runs, std::uint32_t length, std::uint32_t fileLength,
                   std::vector<unsigned char>* content) {
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < length;) {
    const std::uint32_t skip = ReadLe32(runs + i), count = ReadLe32(runs + i + 4);
    i += 8;
    at += skip;
    if (content->size() < at + count) content->resize(at + count);
    std::copy(runs + i, runs + i + count, content->begin() + static_cast<std::ptrdiff_t>(at));
    at += count;
    i += count;
  }
  content->resize(fileLength);
}

bool ApplySection(const std::string& packageName, const std::string& rootDir, const unsigned char* section,
                  bool durable) {
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
    if (durable) writer.SetDurable();
    if (!BeginAddf(target, &writer)) return false;
    writer.Write(data, dataLength);
    return FinishAddf(target, &writer);
  }

  if (durable) {
    // Changed in a copy that then takes the file's place, never torn in place.
    std::vector<unsigned char> content;
    if (ReadWhole(target, &content)) {
      PatchInMemory(data, dataLength, SectionFileLength(section), &content);
      AddfWriter writer;
      writer.SetDurable();
      if (!BeginAddf(target, &writer)) return false;
      writer.Write(content.data(), static_cast<std::uint32_t>(content.size()));
      return FinishAddf(target, &writer);
    }
  }

  if (IsPatcherFile(target)) {
    return ModiOnCopy(target, [&](const std::string& source, AddfWriter* copy) {
      return WritePatchedCopy(source, data, dataLength, SectionFileLength(section), copy);
    });
  }

  platform::CFile file;
  bool skipped = false;
  if (!OpenModiTarget(rootDir, name, &file, &skipped)) return skipped;
  WritePatchRuns(file, data, dataLength);
  file.SetLength(SectionFileLength(section));
  if (durable) file.Flush();
  file.Close();
  platform::NoteWritten(target);
  return true;
}

}  // namespace

bool ApplyUpdateSec(const std::string& packageName, const std::string& rootDir, const unsigned char* section) {
  return ApplySection(packageName, rootDir, section, false);
}

bool IsVersionFileName(const std::string& name) { return WindowsPathKey(name) == WindowsPathKey(kSettingsFile); }

bool ApplyVersionSec(const std::string& packageName, const std::string& rootDir, const unsigned char* section) {
  platform::FlushWritten();
  return ApplySection(packageName, rootDir, section, true);
}
