// A chain of game trees and the packages between them, made with nolkpack's own builder, and an
// installation at the first version ready for the program: for whole-run tests, benchmarks and the demo.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace testsupport {

struct UpdateChain {
  std::vector<std::string> versions;  // "2.1.14", "2.1.15", ...
  std::vector<std::string> trees;     // the game at each version (host paths)
  std::vector<std::string> packages;  // packages[i] leads from trees[i] to trees[i + 1]
  std::vector<std::string> md5s;      // lower-case digests of the packages
  // Update-list lines for the packages, with URLs on host 127.0.0.1 below /package/, or below base.
  std::string ListBody(const std::string& base = "http://127.0.0.1/package/") const;
  // The file name of package i ("nolk-2.1.15.pkg").
  std::string PackageName(std::size_t i) const;
};

// Makes trees work/trees/<version> from a base of the given number of files, and the packages in
// work/packages. Each tree carries the obsolete-file list of the package that led to it, as a
// released game does. False with *error when the builder failed.
bool MakeUpdateChain(const std::string& work, const std::string& firstVersion, int steps, int files, std::uint32_t seed,
                     UpdateChain* chain, std::string* error);

// A package that leads from tree from to tree to (both existing); digest in *md5.
bool BuildChainPackage(const std::string& from, const std::string& to, const std::string& version,
                       const std::string& out, std::string* md5, std::string* error);

// game := trees[0], plus bin/patch/ holding the program files of binDir (nolkpatch or nolkpatch.exe
// and nolkdbghelp.dll), the packages in var/gac, and var/gac/Url.ini with all four list keys set to
// listUrl and StatURL to statUrl.
void MakeInstallation(const UpdateChain& chain, const std::string& game, const std::string& binDir,
                      const std::string& listUrl, const std::string& statUrl, bool windowsProgram = false);

// An installation with no game files: bin/patch/ (empty), var/gac/update.ini at version and
// var/gac/Url.ini as UrlIniText gives it.
void MakeBareInstallation(const std::string& game, const std::string& version, const std::string& listUrl,
                          const std::string& statUrl);

// Url.ini text: the four list keys and the statistics URL.
std::string UrlIniText(const std::string& listUrl, const std::string& statUrl);

// How a test starts the native program of an installation: in its start folder, its single-instance
// lock in tmp (so parallel tests never meet), and the console in UTF-8.
ProcessOptions ProgramOptions(const std::string& game, const std::string& tmp);

// Paths of an installation that are not part of the game: the program's folder and var/gac
// (packages, Url.ini, partner code) except update.ini.
bool InstallationOnly(const std::string& rel);

// The data of record name in a package, read with the program's own reader.
bool ExtractRecord(const std::string& packagePath, const std::string& version, const std::string& name,
                   std::string* data);

// An installation at 2.1.14 with each change's old bytes in bin/patch/, and var/gac/self.pkg changing
// them (one MODI run over the span that differs, or ADDF) and bringing it to 2.1.15; returns its list line.
struct FileChange { std::string name, old, now; };
std::string MakeSelfUpdate(const std::string& game, const std::vector<FileChange>& changes, bool modi,
                           const std::string& listUrl, const std::string& statUrl);
// Starts the program twice and checks what both builds promise: exit code 0 each time, the game at
// 2.1.15, the new bytes in place, and nothing else in bin/patch/ but nolk.log. Returns both runs.
std::vector<ProcessResult> CheckSelfUpdate(const std::string& game, const std::vector<FileChange>& changes,
                                           const std::function<ProcessResult()>& start);

}  // namespace testsupport
