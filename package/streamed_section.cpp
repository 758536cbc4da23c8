#include "package/streamed_section.h"

#include <algorithm>
#include <vector>

#include "package/addf_writer.h"
#include "package/update_sec.h"
#include "platform/file_system.h"
#include "platform/temp_file.h"

namespace {
const std::uint32_t kWholeRecordLimit = 4u << 20;
const std::uint32_t kStreamPiece = 1u << 20;

// Deletes a spool file however the record ends.
struct SpoolFile {
  std::string path;
  ~SpoolFile() {
    if (!path.empty()) platform::RemoveTempFile(path);
  }
};

bool ApplyStreamedModi(BzUpdateHelper& reader, const std::string& packageName, const std::string& rootDir,
                       const unsigned char* head, const std::function<void()>& pump, bool* readFailed) {
  SpoolFile spool{platform::CreateTempFile("nolk")};
  platform::CFile file;
  platform::CFileException error;
  if (spool.path.empty() ||
      !file.Open(spool.path, platform::CFile::modeCreate | platform::CFile::modeWrite, &error)) {
    // No spool to be had: the record is held whole, as a small one is.
    const unsigned char* whole = reader.ReadSectionRest();
    if (!whole) {
      *readFailed = true;
      return false;
    }
    return ApplyUpdateSec(packageName, rootDir, whole);
  }
  PatchRunStream runs(SectionDataLength(head));
  std::vector<unsigned char> piece(kStreamPiece);
  while (reader.DataLeft() > 0) {
    const std::uint32_t n = std::min(reader.DataLeft(), kStreamPiece);
    if (!reader.ReadSectionData(piece.data(), n)) {
      file.Abort();
      *readFailed = true;
      return false;
    }
    runs.Feed(piece.data(), n, nullptr);
    file.Write(piece.data(), n);
    if (pump) pump();
  }
  file.Close();
  return ApplyModiFromFile(packageName, rootDir, head, spool.path, runs.Complete());
}

}  // namespace

bool IsStreamedSection(const unsigned char* head) {
  const std::uint32_t kind = SectionKind(head);
  return (kind == kSectionAddf || kind == kSectionModi) && SectionDataLength(head) > kWholeRecordLimit &&
         IsSafeSectionName(SectionName(head));
}

bool ApplyStreamedSection(BzUpdateHelper& reader, const std::string& packageName, const std::string& rootDir,
                          const unsigned char* head, const std::function<void()>& pump, bool* readFailed) {
  *readFailed = false;
  if (SectionKind(head) == kSectionModi) return ApplyStreamedModi(reader, packageName, rootDir, head, pump, readFailed);
  return ApplyStreamedAddf(reader, rootDir, head, pump, readFailed);
}

bool ApplyStreamedAddf(BzUpdateHelper& reader, const std::string& rootDir, const unsigned char* head,
                       const std::function<void()>& pump, bool* readFailed) {
  *readFailed = false;
  const std::string target = rootDir + SectionName(head);
  AddfWriter writer;
  writer.SpoolInPlace();
  std::vector<std::string> made;
  if (!BeginAddf(target, &writer, &made)) return false;
  std::vector<unsigned char> piece(kStreamPiece);
  while (reader.DataLeft() > 0) {
    const std::uint32_t n = std::min(reader.DataLeft(), kStreamPiece);
    if (!reader.ReadSectionData(piece.data(), n)) {
      writer.Abort();
      RemoveMadeFolders(made);
      *readFailed = true;
      return false;
    }
    writer.Write(piece.data(), n);
    if (pump) pump();
  }
  // Complete: only now may the target lose its read-only attribute.
  platform::SetFileAttributesNormal(target);
  return FinishAddf(target, &writer);
}
