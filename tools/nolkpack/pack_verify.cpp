#include "tools/nolkpack/pack_verify.h"

#include <cstdio>
#include <map>
#include <set>

#include "package/bz_update_helper.h"
#include "package/obsolete_files.h"
#include "package/update_sec.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/message_box.h"
#include "platform/stdio_file.h"
#include "platform/temp_file.h"
#include "tools/nolkpack/obsolete_list.h"
#include "tools/nolkpack/pack_build.h"
#include "tools/nolkpack/pack_inspect.h"
#include "tools/nolkpack/program_files_check.h"
#include "update/name_rules.h"

#undef DeleteFile

namespace nolkpack {
namespace {

const char kDelFileList[] = "data/DelFileList.dat";
const char kUpdateIni[] = "var/gac/update.ini";
// Where the program is started from, two folders below the root, as deployed.
const char kStartFolder[] = "bin/patch";

std::string Host(const std::string& gbk) { return platform::HostPath(gbk); }

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = platform::OpenStdFile(path, "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool CopyGameTree(const std::string& from, const std::string& to, std::string* error) {
  GameTree tree;
  if (!ScanTree(from, &tree, error)) return false;
  for (const auto& item : tree) {  // parents sort before what they hold
    const std::string target = to + "/" + item.first;
    if (item.second.isDirectory) {
      platform::MakeDir(target);
      continue;
    }
    std::string bytes;
    if (!ReadWholeFile(from + "/" + item.first, &bytes, error)) return false;
    if (!WriteWholeFile(target, bytes)) {
      *error = "cannot write " + Host(target);
      return false;
    }
  }
  return true;
}

std::string VersionIn(const std::string& dir) {
  const std::string ini = dir + "/" + kUpdateIni;
  if (platform::GetPathKind(ini) != platform::PathKind::kFile) return std::string();
  return platform::ReadIniString(ini, "Setting", "Version", "");
}

// Scratch space for one check, removed with everything in it.
class Scratch {
 public:
  Scratch() {
    path_ = platform::CreateTempFile("nolkverify");
    if (path_.empty()) return;
    platform::DeleteFile(path_);
    if (!platform::MakeDir(path_)) path_.clear();
  }
  ~Scratch() {
    if (!path_.empty()) DeletePathTree(path_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Every record name of a package, read without applying it; false when it cannot be read to its end.
bool ReadRecordNames(const PackageToApply& p, std::vector<std::string>* names) {
  BzUpdateHelper reader;
  if (!reader.Open(p.version, p.path, p.path)) return false;
  for (;;) {
    const unsigned char* section = reader.ReadSection();
    if (reader.IsEnd()) return true;
    if (!section) return false;
    names->push_back(SectionName(section));
  }
}

}  // namespace

VersionCode ReleaseVersion(const std::string& dir) { return ParseVersionCode(VersionIn(dir)); }

bool ApplyLikeTheClient(const std::vector<PackageToApply>& packages, const std::string& root,
                        const std::string& startDir, std::vector<std::vector<std::string>>* names,
                        std::string* failure) {
  // The program's boxes become the failure text; nobody is there to answer them.
  std::string boxes;
  platform::MessageBoxHandler previous = platform::SetMessageBoxHandler([&boxes](const platform::MessageBoxRequest& r) {
    boxes += (boxes.empty() ? "" : " / ") + r.text;
    return static_cast<int>(platform::kIdCancel);
  });
  struct Restore {
    platform::MessageBoxHandler handler;
    ~Restore() { platform::SetMessageBoxHandler(handler); }
  } restore{previous};

  names->clear();
  for (const PackageToApply& p : packages) {
    names->emplace_back();
    std::string::size_type slash = p.path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? p.path : p.path.substr(slash + 1);
    BzUpdateHelper reader;
    if (!reader.Open(p.version, name, p.path)) {
      *failure = Host(reader.GetErrorText());
      return false;
    }
    for (;;) {
      const unsigned char* section = reader.ReadSection();
      if (reader.IsEnd()) break;
      if (!section) {
        *failure = Host(name + ": " + reader.GetErrorText());
        return false;
      }
      names->back().push_back(SectionName(section));
      bool applied = false;
      try {
        applied = ApplyUpdateSec(name, root + "/", section);
      } catch (const platform::CFileException& e) {
        *failure = Host(name + ": " + SectionName(section) + ": " + e.GetErrorMessage());
        return false;
      }
      if (!applied) {
        *failure = Host(name + ": " + SectionName(section) + ": the client stops with: " + boxes);
        return false;
      }
    }
  }
  if (!packages.empty()) RemoveObsoleteFilesIn(startDir);
  return true;
}

bool VerifyPackages(const std::string& oldDir, const std::string& newDir, const std::vector<std::string>& packages,
                    std::vector<std::string>* problems, std::vector<std::string>* notes, std::string* error) {
  for (const std::string& dir : {oldDir, newDir}) {
    if (!IsFolder(dir)) {
      *error = std::string(dir == oldDir ? "OLD_DIR " : "NEW_DIR ") + Host(dir) + " is not a folder";
      return false;
    }
    if (IsFolder(dir + "/" + kUpdateIni)) {
      *error = std::string(dir == oldDir ? "OLD_DIR" : "NEW_DIR") + "'s " + kUpdateIni +
               " is a folder, not the file of the release's version";
      return false;
    }
  }
  VersionCode installed = 0;
  if (!ScanVersion(VersionIn(oldDir), &installed)) {
    *error = "OLD_DIR has no readable " + std::string(kUpdateIni);
    return false;
  }
  std::vector<PackageToApply> chain;
  VersionCode last = installed;
  for (const std::string& path : packages) {
    PackageToApply p{path, 0};
    if (!ReadPackageVersion(path, &p.version, error)) return false;
    if (p.version <= last)
      problems->push_back(Host(path) + " leads to " + VersionText(p.version) + ", not newer than " + VersionText(last) +
                          ": clients would not apply it after what comes before");
    last = p.version;
    chain.push_back(p);
  }

  Scratch scratch;
  if (scratch.Path().empty()) {
    *error = "cannot make a scratch folder";
    return false;
  }
  const std::string root = scratch.Path() + "/game";
  platform::MakeDir(root);
  if (!CopyGameTree(oldDir, root, error)) return false;
  std::vector<std::vector<std::string>> names;
  std::string failure;
  const bool applied = ApplyLikeTheClient(chain, root, root + "/" + kStartFolder, &names, &failure);
  if (!applied) problems->push_back("applying stops: " + failure);

  // Names some client cannot write, and what the last package must carry: read from the packages
  // themselves, so that a stop half-way hides none of it.
  std::vector<std::vector<std::string>> recordNames(chain.size());
  bool lastRead = false;
  for (std::size_t i = 0; i < chain.size(); ++i) lastRead = ReadRecordNames(chain[i], &recordNames[i]);
  for (std::size_t i = 0; i < recordNames.size(); ++i) {
    for (const std::string& n : recordNames[i]) {
      std::string why;
      if (!IsPortablePackageName(n, &why)) problems->push_back(Host(packages[i]) + ": " + Host(n) + ": " + why);
    }
  }
  if (lastRead) {
    const std::vector<std::string>& lastNames = recordNames.back();
    auto has = [&lastNames](const std::string& n) {
      for (const std::string& x : lastNames)
        if (x == n) return true;
      return false;
    };
    if (!has(kDelFileList))
      problems->push_back(Host(packages.back()) +
                          " writes no obsolete-file list: clients keep the list of an earlier package in force");
    if (!has(kUpdateIni))
      problems->push_back(Host(packages.back()) + " does not write " + kUpdateIni +
                          ": clients would apply it again at every start");
  }
  VersionCode newVersion = 0;
  if (!ScanVersion(VersionIn(newDir), &newVersion))
    problems->push_back("NEW_DIR has no readable " + std::string(kUpdateIni));
  else if (!chain.empty() && newVersion != last)
    problems->push_back(std::string(kUpdateIni) + " of NEW_DIR says " + VersionText(newVersion) +
                        ", the last package leads to " + VersionText(last) +
                        ": clients would apply it again at every start");

  // A tree left half-way says nothing more: what it lacks follows from the stop.
  if (!applied) return true;

  // The trees, compared as the files are; a path whose only difference is the letter case is a name
  // Windows takes for the same (Linux clients keep the old spelling beside the new one).
  std::string listText;
  std::vector<ListEntry> finalList;
  if (platform::GetPathKind(root + "/" + kDelFileList) == platform::PathKind::kFile) {
    if (!ReadWholeFile(root + "/" + kDelFileList, &listText, error)) return false;
    finalList = ParseObsoleteList(listText);
  }
  // Windows keys of the list's paths, with the spelling each line has.
  std::map<std::string, std::set<std::string>> listed;
  for (const ListEntry& e : finalList)
    if (e.belowRoot) listed[WindowsPathKey(e.path)].insert(e.path);
  // A path named by the list only in another spelling: Windows clients remove it, case-sensitive
  // ones keep that old spelling (a case-only rename, then the new spelling retired). The line.
  auto otherSpellingListed = [&listed](const std::string& path) -> std::string {
    for (std::size_t end = 0; end != std::string::npos;) {
      end = path.find('/', end + 1);  // "/" is never a GBK trail byte
      const std::string prefix = path.substr(0, end);
      auto hit = listed.find(WindowsPathKey(prefix));
      if (hit != listed.end()) return hit->second.count(prefix) ? std::string() : *hit->second.begin();
    }
    return std::string();
  };
  GameTree want, got;
  if (!ScanTree(newDir, &want, error) || !ScanTree(root, &got, error)) return false;
  std::map<std::string, std::string> wantKeys;
  for (const auto& item : want) {
    auto twin = wantKeys.emplace(WindowsPathKey(item.first), item.first);
    if (!twin.second)
      problems->push_back("NEW_DIR holds " + Host(twin.first->second) + " and " + Host(item.first) +
                          ", which Windows takes for one name");
  }
  for (const auto& item : want) {
    const std::string path = root + "/" + item.first;
    const platform::PathKind kind = platform::GetPathKind(path);
    if (kind != (item.second.isDirectory ? platform::PathKind::kDirectory : platform::PathKind::kFile)) {
      problems->push_back("missing after the update: " + Host(item.first) +
                          (item.second.isDirectory ? " (a package carries files only, never an empty folder)" : ""));
      continue;
    }
    if (item.second.isDirectory) continue;
    std::string a, b;
    if (!ReadWholeFile(newDir + "/" + item.first, &a, error) || !ReadWholeFile(path, &b, error)) return false;
    if (a != b) problems->push_back("differs after the update: " + Host(item.first));
  }
  for (const auto& item : got) {
    if (want.count(item.first)) continue;
    auto same = wantKeys.find(WindowsPathKey(item.first));
    if (same != wantKeys.end())
      notes->push_back("old spelling kept beside " + Host(same->second) + " on case-sensitive clients: " +
                       Host(item.first));
    else if (!otherSpellingListed(item.first).empty())
      notes->push_back("old spelling kept on case-sensitive clients, removed on Windows as " +
                       Host(otherSpellingListed(item.first)) + ": " + Host(item.first));
    else
      problems->push_back("left over after the update: " + Host(item.first));
  }

  // The list the clients end with must not name anything the release has, however Windows spells it.
  for (const ListEntry& e : finalList) {
    if (!e.belowRoot) continue;
    auto hit = wantKeys.find(WindowsPathKey(e.path));
    if (hit != wantKeys.end())
      problems->push_back("the obsolete-file list line " + platform::GbkToUtf8(ListLine(e)) + " removes " +
                          Host(hit->second) + " on Windows, which NEW_DIR has");
  }

  // The patcher's own files: never dropped, never listed.
  GameTree had;
  if (!ScanTree(oldDir, &had, error)) return false;
  const std::string dropped = DroppedProgramFile(had, want);
  if (!dropped.empty()) problems->push_back(dropped);
  for (const std::string& p : ListLinesNamingProgramFiles(finalList)) problems->push_back(p);
  return true;
}

}  // namespace nolkpack
