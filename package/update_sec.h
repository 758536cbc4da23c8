// Writes one UpdateSec record into the installation below RootDir: ADDF replaces or creates a
// whole file, MODI changes an existing file in place by runs and then sets its length.
// A record that would reach outside RootDir, or whose runs overrun its data, is refused whole.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/addf_writer.h"
#include "update/name_rules.h"  // IsSafeSectionName
#include "platform/file.h"

// Record layout: kind, fileLength, nameLength N, name (N bytes with its NUL), dataLength D, data.
const std::uint32_t kSectionModi = 0x4D4F4449;  // 'MODI', file bytes "IDOM"
const std::uint32_t kSectionAddf = 0x41444446;  // 'ADDF', file bytes "FDDA"

inline std::uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint32_t SectionKind(const unsigned char* s) { return ReadLe32(s); }
inline std::uint32_t SectionFileLength(const unsigned char* s) { return ReadLe32(s + 4); }
inline std::uint32_t SectionNameLength(const unsigned char* s) { return ReadLe32(s + 8); }
inline const char* SectionName(const unsigned char* s) { return reinterpret_cast<const char*>(s + 12); }
inline std::uint32_t SectionDataLength(const unsigned char* s) { return ReadLe32(s + 12 + SectionNameLength(s)); }
inline const unsigned char* SectionData(const unsigned char* s) { return s + 16 + SectionNameLength(s); }

// True when the runs fill exactly length bytes, every head and every run's bytes inside them.
bool CheckPatchRuns(const unsigned char* runs, std::uint32_t length);

// False: cancelled by the user, or the record is invalid (after its message box).
// A failed seek, write, length change or close raises platform::CFileException.
bool ApplyUpdateSec(const std::string& packageName, const std::string& rootDir, const unsigned char* section);

// The installed version may reach the disk only after everything the run wrote before it.
// IsVersionFileName: name is the installed-version file, compared as the client compares names.
// ApplyVersionSec: first makes everything written since the last barrier durable (data and folder
// entries), then writes the record durably: temporary file, flush, rename, flush of its folder (a
// MODI record is applied to a copy of the file, which then takes its place the same way). A failed
// flush raises platform::CFileException like a failed write; the version file is then unchanged.
bool IsVersionFileName(const std::string& name);
bool ApplyVersionSec(const std::string& packageName, const std::string& rootDir, const unsigned char* section);

// ADDF in pieces, for a caller that hands over a record's data as it arrives. The caller clears the
// target's attributes first, as for any record. BeginAddf makes the folders and opens the writer,
// asking retry-or-cancel while the target cannot be opened; then writer->Write any number of times;
// FinishAddf puts the content in place, asking while the target is held. False from either: the
// user cancelled and the target is as it was.
// With made, the folders BeginAddf itself made are added to it, for RemoveMadeFolders.
bool BeginAddf(const std::string& target, AddfWriter* writer, std::vector<std::string>* made = nullptr);
bool FinishAddf(const std::string& target, AddfWriter* writer);
// Removes folders BeginAddf made for a record that then failed, the deepest first.
void RemoveMadeFolders(const std::vector<std::string>& made);

// MODI runs taken in pieces of any size, checked as they come and, given a file, written into it.
class PatchRunStream {
 public:
  explicit PatchRunStream(std::uint32_t length) : left_(length) {}
  // False as soon as the runs are known to overrun their length (nothing more is written then).
  bool Feed(const unsigned char* data, std::size_t count, platform::CFile* file);
  // True when the runs filled exactly their length.
  bool Complete() const { return ok_ && left_ == 0 && have_ == 0 && run_ == 0; }

 private:
  std::uint64_t left_;  // bytes still to come
  unsigned char head_[8] = {};
  std::size_t have_ = 0;  // bytes of the head being read
  std::uint32_t run_ = 0;  // bytes of the current run still to come
  bool ok_ = true;
};

// MODI whose data (dataLength bytes) were read whole into the file at dataPath, as a
// PatchRunStream found them (runsValid). The same boxes, checks and writes as ApplyUpdateSec.
bool ApplyModiFromFile(const std::string& packageName, const std::string& rootDir, const unsigned char* head,
                       const std::string& dataPath, bool runsValid);

// Writes MODI runs into the open file. Runs that overrun length are refused before anything is
// written (false).
bool WritePatchRuns(platform::CFile& file, const unsigned char* runs, std::uint32_t length);
