#include "package/streamed_section.h"

#include <algorithm>
#include <vector>

#include "package/addf_writer.h"
#include "package/update_sec.h"
#include "platform/file_system.h"

namespace {
const std::uint32_t kWholeRecordLimit = 4u << 20;
const std::uint32_t kStreamPiece = 1u << 20;
}  // namespace

bool IsStreamedSection(const unsigned char* head) {
  return SectionKind(head) == kSectionAddf && SectionDataLength(head) > kWholeRecordLimit &&
         IsSafeSectionName(SectionName(head));
}

bool ApplyStreamedAddf(BzUpdateHelper& reader, const std::string& rootDir, const unsigned char* head,
                       const std::function<void()>& pump, bool* readFailed) {
  *readFailed = false;
  const std::string target = rootDir + SectionName(head);
  platform::SetFileAttributesNormal(target);
  AddfWriter writer;
  if (!BeginAddf(target, &writer)) return false;
  std::vector<unsigned char> piece(kStreamPiece);
  while (reader.DataLeft() > 0) {
    const std::uint32_t n = std::min(reader.DataLeft(), kStreamPiece);
    if (!reader.ReadSectionData(piece.data(), n)) {
      writer.Abort();
      *readFailed = true;
      return false;
    }
    writer.Write(piece.data(), n);
    if (pump) pump();
  }
  return FinishAddf(target, &writer);
}
