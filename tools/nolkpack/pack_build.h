// Making update packages: the records that turn one game tree into another, written as a package
// file ("ZBNR", version, reserved word, bzip2 body of records and a short tail).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "update/version.h"

namespace nolkpack {

// MODI runs that turn old into new in place (the length is set afterwards), skipping equal stretches
// when that saves bytes.
std::string MakePatchRuns(const std::string& oldBytes, const std::string& newBytes);

// One record in the package layout.
std::string MakeRecord(std::uint32_t kind, std::uint32_t fileLength, const std::string& name, const std::string& data);

// Writes a package file from ready records. False with *error set when the file cannot be written.
bool WritePackage(const std::string& path, VersionCode version, const std::vector<std::string>& records,
                  std::string* error);

struct BuildStats {
  int added = 0;
  int modified = 0;
  int removed = 0;  // entries of the obsolete-file list
  std::vector<std::string> warnings;
};

// The package that turns the tree at oldDir into the tree at newDir (GBK paths). New files become
// ADDF records, changed ones MODI where that is smaller, else ADDF; paths gone from newDir go to
// data/DelFileList.dat, which keeps the old list's entries that newDir does not bring back. The
// record of var/gac/update.ini comes last.
bool BuildPackage(const std::string& oldDir, const std::string& newDir, VersionCode version, const std::string& outPath,
                  BuildStats* stats, std::string* error);

// "X.Y.Z" with each part in its field's range.
bool ParseVersionArgument(const std::string& text, VersionCode* version);

}  // namespace nolkpack
