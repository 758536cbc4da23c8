// Random release histories for the property tests: plain game trees, release after release, with
// adds, removals, re-adds, case-only renames of files and folders, folders retired and partly brought
// back, changed files, program files and GBK names (some with a 0x5C trail byte). Never a path that is a file in one
// release and a folder in another, nor two names in one release that Windows takes for one.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ReleaseHistory {
  std::vector<std::string> versions;                        // "3.0.1", ...
  std::vector<std::map<std::string, std::string>> files;    // host-encoded relative path -> content
  bool caseRenamed = false;                                 // a file or folder renamed by case only
  // Writes release i below dir (which must not exist), var/gac/update.ini included; a program file
  // named in programs is that content with the release's bytes appended (it still runs).
  void Write(std::size_t i, const std::string& dir, const std::map<std::string, std::string>& programs = {}) const;
};

// programFiles: names in bin/patch/ that some release ships and later ones may change.
ReleaseHistory MakeReleaseHistory(std::uint32_t seed, int releases, const std::vector<std::string>& programFiles = {});

// Upper case of the ASCII letters: the only letters the generator changes the case of.
std::string AsciiFold(const std::string& s);

// Differences between the tree at actual and release `target` as written at expected (host paths).
// caseInsensitive: names compared as Windows compares them, one to one. Otherwise names must match
// exactly, except that an old spelling of a case-only rename may stay (a spelling the path had in
// the history other than its last one).
std::vector<std::string> CompareWithRelease(const ReleaseHistory& history, const std::string& expected,
                                            const std::string& actual, bool caseInsensitive,
                                            const std::function<bool(const std::string&)>& ignore = nullptr);

// Left out of a whole run's comparison: var/gac but update.ini, the log, program files never shipped.
std::function<bool(const std::string&)> OutsideTheRelease(const ReleaseHistory& h, const std::vector<std::string>& programs);

}  // namespace testsupport
