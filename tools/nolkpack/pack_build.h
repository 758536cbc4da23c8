// Making update packages: the records that turn one game tree into another, written as a package
// file ("ZBNR", version, reserved word, bzip2 body of records and a short tail).
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "update/version.h"

namespace nolkpack {

struct TreeEntry {
  bool isDirectory;
};
using GameTree = std::map<std::string, TreeEntry>;  // relative GBK path with "/" -> entry

// Every file and folder below root (links refused). False with *error.
bool ScanTree(const std::string& root, GameTree* tree, std::string* error);
// A folder, or a link to one (a release tree may be given through a link).
bool IsFolder(const std::string& path);
// A whole file (2 GiB at most).
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

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
  std::string listPath;  // where NEW_DIR now keeps that list
};

// The package that turns the tree at oldDir into the tree at newDir (GBK paths), for clients at
// oldDir or at any earlier release. New files become ADDF records, changed ones MODI where that is
// smaller, else ADDF. data/DelFileList.dat always goes into the package and into newDir: the old
// list's entries that newDir does not bring back, plus every path gone from oldDir, names compared
// as Windows compares them. The record of var/gac/update.ini comes last. Refuses names some client
// cannot write, a newDir without update.ini at the given version, and what no package can express.
bool BuildPackage(const std::string& oldDir, const std::string& newDir, VersionCode version, const std::string& outPath,
                  BuildStats* stats, std::string* error);

// "X.Y.Z" with each part in its field's range.
bool ParseVersionArgument(const std::string& text, VersionCode* version);

}  // namespace nolkpack
