// Writes one UpdateSec record into the installation below RootDir: ADDF replaces or creates a
// whole file, MODI changes an existing file in place by runs and then sets its length.
// A record that would reach outside RootDir, or whose runs overrun its data, is refused whole.
#pragma once
#include <cstdint>
#include <string>

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
bool BeginAddf(const std::string& target, AddfWriter* writer);
bool FinishAddf(const std::string& target, AddfWriter* writer);

// Writes MODI runs into the open file. Runs that overrun length are refused before anything is
// written (false).
bool WritePatchRuns(platform::CFile& file, const unsigned char* runs, std::uint32_t length);
