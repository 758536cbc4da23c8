#include "tests/support/update_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "package/bz_update_helper.h"
#include "package/update_sec.h"
#include "tests/support/game_tree.h"
#include "tests/support/package_bytes.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "tools/nolkpack/pack_build.h"
#include "update/version.h"

namespace testsupport {

namespace {

const char kListName[] = "data/DelFileList.dat";

std::string NextVersion(const std::string& v, int step) {
  VersionCode code = ParseVersionCode(v);
  return std::to_string(code >> 24) + "." + std::to_string((code >> 16) & 0xFF) + "." +
         std::to_string((code & 0xFFFF) + static_cast<unsigned>(step));
}

}  // namespace

std::string UpdateChain::PackageName(std::size_t i) const { return "nolk-" + versions[i + 1] + ".pkg"; }

std::string UpdateChain::ListBody(const std::string& base) const {
  std::string body;
  for (std::size_t i = 0; i < packages.size(); ++i)
    body += versions[i + 1] + " " + base + PackageName(i) + " " + md5s[i] + "\r\n";
  return body;
}

bool BuildChainPackage(const std::string& from, const std::string& to, const std::string& version,
                       const std::string& out, std::string* md5, std::string* error) {
  nolkpack::BuildStats stats;
  if (!nolkpack::BuildPackage(from, to, ParseVersionCode(version), out, &stats, error)) return false;
  *md5 = ReferenceMd5(out);
  return true;
}

bool MakeUpdateChain(const std::string& work, const std::string& firstVersion, int steps, int files, std::uint32_t seed,
                     UpdateChain* chain, std::string* error) {
  *chain = UpdateChain();
  MakeDirs(work + "/trees");
  MakeDirs(work + "/packages");
  chain->versions.push_back(firstVersion);
  chain->trees.push_back(work + "/trees/" + firstVersion);
  MakeBaseTree(chain->trees[0], firstVersion, files, seed);
  for (int i = 1; i <= steps; ++i) {
    const std::string version = NextVersion(firstVersion, i);
    const std::string tree = work + "/trees/" + version;
    EvolveTree(chain->trees.back(), tree, version, seed * 31u + static_cast<std::uint32_t>(i));
    const std::string package = work + "/packages/nolk-" + version + ".pkg";
    std::string md5;
    if (!BuildChainPackage(chain->trees.back(), tree, version, package, &md5, error)) return false;
    // The released game at this version holds the list its package wrote.
    std::string list;
    if (ExtractRecord(package, version, kListName, &list)) WriteFile(tree + "/" + kListName, list);
    chain->versions.push_back(version);
    chain->trees.push_back(tree);
    chain->packages.push_back(package);
    chain->md5s.push_back(md5);
  }
  return true;
}

std::string UrlIniText(const std::string& listUrl, const std::string& statUrl) {
  return "[Setting]\r\nUpdateURL=" + listUrl + "\r\nUpdateURL2=" + listUrl + "\r\nUpdateURL3=" + listUrl +
         "\r\nUpdateURL4=" + listUrl + "\r\nStatURL=" + statUrl + "\r\n";
}

void MakeBareInstallation(const std::string& game, const std::string& version, const std::string& listUrl,
                          const std::string& statUrl) {
  MakeDirs(game + "/bin/patch");
  MakeDirs(game + "/var/gac");
  WriteFile(game + "/var/gac/update.ini", UpdateIniText(version));
  WriteFile(game + "/var/gac/Url.ini", UrlIniText(listUrl, statUrl));
}

void MakeInstallation(const UpdateChain& chain, const std::string& game, const std::string& binDir,
                      const std::string& listUrl, const std::string& statUrl, bool windowsProgram) {
  CopyTree(chain.trees[0], game);
  MakeDirs(game + "/bin/patch");
  std::error_code ec;
  for (const char* f : {"nolkpatch", "nolkpatch.exe", "nolkdbghelp.dll"}) {
    std::string name = f;
    if (windowsProgram ? name == "nolkpatch" : name == "nolkpatch.exe") continue;
    std::filesystem::copy_file(binDir + "/" + name, game + "/bin/patch/" + name,
                               std::filesystem::copy_options::overwrite_existing, ec);
  }
  for (std::size_t i = 0; i < chain.packages.size(); ++i)
    std::filesystem::copy_file(chain.packages[i], game + "/var/gac/" + chain.PackageName(i),
                               std::filesystem::copy_options::overwrite_existing, ec);
  WriteFile(game + "/var/gac/Url.ini", UrlIniText(listUrl, statUrl));
}

ProcessOptions ProgramOptions(const std::string& game, const std::string& tmp) {
  ProcessOptions o;
  o.argv = {game + "/bin/patch/nolkpatch"};
  o.cwd = game + "/bin/patch";
  o.env = {{"TMPDIR", tmp}, {"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
  o.timeoutSeconds = 120;
  return o;
}

bool InstallationOnly(const std::string& rel) {
  if (rel.compare(0, 10, "bin/patch/") == 0) return true;
  return rel.compare(0, 8, "var/gac/") == 0 && rel != "var/gac/" && rel != "var/gac/update.ini";
}

bool ExtractRecord(const std::string& packagePath, const std::string& version, const std::string& name,
                   std::string* data) {
  BzUpdateHelper reader;
  if (!reader.Open(ParseVersionCode(version), "package", packagePath)) return false;
  for (;;) {
    const unsigned char* section = reader.ReadSection();
    if (!section) return false;
    if (name == SectionName(section)) {
      data->assign(reinterpret_cast<const char*>(SectionData(section)), SectionDataLength(section));
      return true;
    }
  }
}

std::string MakeSelfUpdate(const std::string& game, const std::vector<FileChange>& changes, bool modi,
                           const std::string& listUrl, const std::string& statUrl) {
  MakeBareInstallation(game, "2.1.14", listUrl, statUrl);
  std::string body;
  for (const FileChange& c : changes) {
    WriteFile(game + "/bin/patch/" + c.name, c.old);
    std::size_t first = 0, end = c.now.size();
    while (first < c.old.size() && first < end && c.old[first] == c.now[first]) ++first;
    while (end > first && c.now.size() <= c.old.size() && c.now[end - 1] == c.old[end - 1]) --end;
    body += modi ? Record("IDOM", static_cast<std::uint32_t>(c.now.size()), "bin/patch/" + c.name,
                          Run(static_cast<std::uint32_t>(first), c.now.substr(first, end - first)))
                 : Record("FDDA", 0, "bin/patch/" + c.name, c.now);
  }
  body += Record("FDDA", 0, "var/gac/update.ini", UpdateIniText("2.1.15")) + std::string(1, '\0');
  WriteFile(game + "/var/gac/self.pkg", PackageBytes(0x0201000F, body));
  return "2.1.15 http://127.0.0.1/package/self.pkg " + ReferenceMd5(game + "/var/gac/self.pkg") + "\r\n";
}

std::vector<ProcessResult> CheckSelfUpdate(const std::string& game, const std::vector<FileChange>& changes,
                                           const std::function<ProcessResult()>& start) {
  const std::vector<ProcessResult> runs = {start(), start()};  // in this order
  for (const ProcessResult& r : runs) EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string ini, now;
  ReadFile(game + "/var/gac/update.ini", &ini);
  EXPECT_NE(ini.find("Version=2.1.15"), std::string::npos) << ini;
  std::vector<std::string> names = {"nolk.log"};
  for (const FileChange& c : changes) {
    EXPECT_TRUE(ReadFile(game + "/bin/patch/" + c.name, &now) && now == c.now) << c.name;
    names.push_back(c.name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(ListTree(game + "/bin/patch"), names);
  return runs;
}

}  // namespace testsupport
