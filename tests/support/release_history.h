// Random release histories for the property tests: plain game trees, release after release, with
// adds, removals, re-adds, case-only renames of files and folders, folders retired and partly brought
// back, changed files and GBK names (some with a 0x5C trail byte), and on request the program's own
// files in bin/patch/. Never a path that is a file in one
// release and a folder in another, nor two names in one release that Windows takes for one.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ReleaseHistory {
  std::vector<std::string> versions;                      // "3.0.1", ...
  std::vector<std::map<std::string, std::string>> files;  // host-encoded relative path -> content
  bool caseRenamed = false;                               // some release renames a file or folder by case only
  // Writes release i below dir (which must not exist), var/gac/update.ini included. A program file
  // named in programs is written as that content followed by the release's own bytes (a real
  // program still runs with bytes appended).
  void Write(std::size_t i, const std::string& dir, const std::map<std::string, std::string>& programs = {}) const;
};

// programFiles: names of files in bin/patch/ (the program and its library) that come in some
// release and change in some of the later ones, never removed.
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

// What a whole run's tree is compared without: var/gac but update.ini, the log, bin/ itself, and
// program files the newest release does not ship (the ones deployed with the installation). Anything
// else in bin/patch/, a file an update set aside included, is compared.
std::function<bool(const std::string&)> OutsideTheRelease(const ReleaseHistory& history,
                                                          const std::vector<std::string>& programFiles);

}  // namespace testsupport
