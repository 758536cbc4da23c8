// Game installation trees for whole-run tests and the demo: a base tree and its evolutions, and a
// byte-for-byte comparison of two trees.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Writes a game tree below root (host path): nested folders under data/, some with GBK names,
// files of many sizes, and var/gac/update.ini with the given version.
void MakeBaseTree(const std::string& root, const std::string& version, int files, std::uint32_t seed);

// Copies tree from into to (which must not exist) and changes it the way an update does: changed,
// grown, shrunk, new and removed files, a removed folder, and the new version in update.ini.
void EvolveTree(const std::string& from, const std::string& to, const std::string& version, std::uint32_t seed);

// Relative paths ("/" separators, host encoding) of every file and folder below root, sorted;
// folders end in "/".
std::vector<std::string> ListTree(const std::string& root);

// Differences between two trees (missing, extra or differing entries), skipping relative paths
// for which ignore returns true. Empty when they are equal.
std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual,
                                      const std::function<bool(const std::string&)>& ignore = nullptr);

// Copies a whole tree (to must not exist).
void CopyTree(const std::string& from, const std::string& to);

// The "[Setting] Version=" file text.
std::string UpdateIniText(const std::string& version);

}  // namespace testsupport
