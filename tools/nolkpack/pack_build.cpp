#include "tools/nolkpack/pack_build.h"

#include <bzlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <set>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "package/update_sec.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/large_file.h"
#include "platform/ini_file.h"
#include "platform/stdio_file.h"
#include "tools/nolkpack/obsolete_list.h"
#include "tools/nolkpack/program_files_check.h"
#include "update/name_rules.h"

// bzlib.h brings windows.h along on Windows; its DeleteFile macro would rename ours.
#undef DeleteFile

namespace nolkpack {
namespace {

const char kDelFileList[] = "data/DelFileList.dat";
const char kUpdateIni[] = "var/gac/update.ini";
// The obsolete-file list is read in lines of at most this many bytes; a longer one ends it.
const std::size_t kMaxListLine = 259;
// Records hold their lengths as signed 32-bit counts.
const std::uint64_t kMaxData = 0x7FFFFFFFull - 4096;
// A run head costs 8 bytes: equal stretches shorter than that are cheaper written over.
const std::size_t kRunHead = 8;

void PutLe32(std::string* out, std::uint32_t v) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  out->append(b, 4);
}

using Tree = GameTree;

// Reading a pipe would wait for a writer forever; a device never ends.
bool IsPlainFile(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return true;
#else
  struct stat st;
  // A name without a GBK form is not found again here; the name check tells of it.
  return lstat(platform::HostPath(path).c_str(), &st) != 0 || S_ISREG(st.st_mode);
#endif
}

std::filesystem::path HostFsPath(const std::string& gbk) { return std::filesystem::u8path(platform::GbkToUtf8(gbk)); }

// Where writing to path ends up: its links followed, a dangling one to the file it would create.
std::filesystem::path WrittenPath(const std::string& path) {
  std::filesystem::path p = HostFsPath(path);
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(std::filesystem::symlink_status(p, ec)); ++hops) {
    const std::filesystem::path target = std::filesystem::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return p;
}

// True when path, once written, lies in folder or is it (both resolved, links followed).
bool LiesIn(const std::string& path, const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::weakly_canonical(WrittenPath(path), ec);
  if (ec) return false;
  const std::filesystem::path f = std::filesystem::canonical(HostFsPath(folder), ec);
  if (ec) return false;
  auto pi = p.begin();
  for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi)
    if (pi == p.end() || *pi != *fi) return false;
  return true;
}

bool Scan(const std::string& root, const std::string& rel, Tree* tree, std::string* error) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  platform::FindData data;
  void* search = platform::FindFirst(dir + "/*", &data);
  if (!search) {
    *error = "cannot read folder " + platform::HostPath(dir);
    return false;
  }
  std::vector<std::string> subdirs;
  do {
    if (data.name == "." || data.name == "..") continue;
    const std::string path = rel.empty() ? data.name : rel + "/" + data.name;
    if (data.isReparsePoint) {
      platform::FindClose(search);
      *error = "links are not supported in a game tree: " + platform::HostPath(root + "/" + path);
      return false;
    }
    if (!data.isDirectory && !IsPlainFile(root + "/" + path)) {
      platform::FindClose(search);
      *error = "not a plain file (a pipe, socket or device): " + platform::HostPath(root + "/" + path) +
               "; a game tree holds only files and folders";
      return false;
    }
    (*tree)[path] = TreeEntry{data.isDirectory};
    if (data.isDirectory) subdirs.push_back(path);
  } while (platform::FindNext(search, &data));
  platform::FindClose(search);
  for (const std::string& s : subdirs)
    if (!Scan(root, s, tree, error)) return false;
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  std::FILE* f = platform::OpenStdFile(path, "rb");
  if (!f) {
    *error = "cannot read " + platform::HostPath(path);
    return false;
  }
  std::uint64_t size = platform::StdFileSize(f);
  if (size > kMaxData) {
    std::fclose(f);
    *error = "file too large for a package (2 GiB at most): " + platform::HostPath(path);
    return false;
  }
  bytes->resize(static_cast<std::size_t>(size));
  std::size_t got = size ? std::fread(&(*bytes)[0], 1, bytes->size(), f) : 0;
  bool bad = std::ferror(f) != 0 || got != bytes->size();
  std::fclose(f);
  if (bad) {
    *error = "cannot read " + platform::HostPath(path);
    return false;
  }
  return true;
}

namespace {

// A name found by the folder search that cannot be found again by its GBK form has none: the host
// turned it into something else. Names it as the host spells it, so the operator can read it.
bool CheckGbkForm(const std::string& root, const std::string& rel, std::string* error) {
  if (platform::GetPathKind(root + "/" + rel) != platform::PathKind::kNone) return true;
  std::string::size_type slash = rel.rfind('/');  // "/" is never a GBK trail byte
  const std::string folder = slash == std::string::npos ? root : root + "/" + rel.substr(0, slash);
  std::string shown = platform::HostPath(folder) + "/...";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(platform::HostPath(folder), ec)) {
    const std::string name = e.path().filename().u8string();
    if (platform::GbkToUtf8(platform::Utf8ToGbk(name)) != name) shown = e.path().u8string();
  }
  *error = "a name has no GBK form, so no client can write it: " + shown;
  return false;
}

std::string VersionOf(const std::string& ini, bool* found) {
  *found = platform::GetPathKind(ini) == platform::PathKind::kFile;
  return *found ? platform::ReadIniString(ini, "Setting", "Version", "") : std::string();
}

bool StartsWithFolder(const std::string& key, const std::string& folder) {
  return key.size() > folder.size() && key.compare(0, folder.size(), folder) == 0 && key[folder.size()] == '/';
}

}  // namespace

bool ScanTree(const std::string& root, GameTree* tree, std::string* error) { return Scan(root, "", tree, error); }

bool IsFolder(const std::string& path) {
  const platform::PathKind kind = platform::GetPathKind(path);
  std::error_code ec;
  // A release tree given through a link is the tree it leads to; links inside a tree are refused.
  return kind == platform::PathKind::kDirectory ||
         (kind == platform::PathKind::kLink && std::filesystem::is_directory(HostFsPath(path), ec));
}

std::string MakePatchRuns(const std::string& oldBytes, const std::string& newBytes) {
  const std::size_t common = std::min(oldBytes.size(), newBytes.size());
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  auto add = [&spans](std::size_t from, std::size_t to) {
    if (!spans.empty() && from - spans.back().second < kRunHead)
      spans.back().second = to;
    else
      spans.emplace_back(from, to);
  };
  std::size_t i = 0;
  while (i < common) {
    if (oldBytes[i] == newBytes[i]) {
      ++i;
      continue;
    }
    std::size_t from = i;
    while (i < common && oldBytes[i] != newBytes[i]) ++i;
    add(from, i);
  }
  if (newBytes.size() > common) add(common, newBytes.size());

  std::string runs;
  std::size_t position = 0;
  for (const auto& span : spans) {
    PutLe32(&runs, static_cast<std::uint32_t>(span.first - position));
    PutLe32(&runs, static_cast<std::uint32_t>(span.second - span.first));
    runs.append(newBytes, span.first, span.second - span.first);
    position = span.second;
  }
  return runs;
}

std::string MakeRecord(std::uint32_t kind, std::uint32_t fileLength, const std::string& name, const std::string& data) {
  std::string r;
  r.reserve(16 + name.size() + 1 + data.size());
  PutLe32(&r, kind);
  PutLe32(&r, fileLength);
  PutLe32(&r, static_cast<std::uint32_t>(name.size() + 1));
  r.append(name);
  r.push_back('\0');
  PutLe32(&r, static_cast<std::uint32_t>(data.size()));
  r.append(data);
  return r;
}

bool WritePackage(const std::string& path, VersionCode version, const std::vector<std::string>& records,
                  std::string* error) {
  std::FILE* f = platform::OpenStdFile(path, "wb");
  if (!f) {
    *error = "cannot write " + platform::HostPath(path);
    return false;
  }
  std::string header = "ZBNR";
  PutLe32(&header, version);
  PutLe32(&header, 0);
  bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
  int status = BZ_OK;
  BZFILE* bz = ok ? BZ2_bzWriteOpen(&status, f, 9, 0, 30) : nullptr;
  ok = ok && status == BZ_OK;
  auto put = [&](const char* p, std::size_t n) {
    while (ok && n > 0) {
      int chunk = static_cast<int>(std::min<std::size_t>(n, 1u << 24));
      BZ2_bzWrite(&status, bz, const_cast<char*>(p), chunk);
      ok = status == BZ_OK;
      p += chunk;
      n -= static_cast<std::size_t>(chunk);
    }
  };
  for (const std::string& r : records) put(r.data(), r.size());
  // The reader meets the end of the stream inside the header read after the last record.
  const char tail[1] = {0};
  put(tail, sizeof tail);
  if (bz) {
    unsigned in, out;
    BZ2_bzWriteClose(&status, bz, ok ? 0 : 1, &in, &out);
    ok = ok && status == BZ_OK;
  }
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    platform::DeleteFile(path);
    *error = "cannot write " + platform::HostPath(path);
  }
  return ok;
}

bool ParseVersionArgument(const std::string& text, VersionCode* version) {
  unsigned long parts[3];
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6) ++at;
    if (at == start) return false;
    parts[i] = std::stoul(text.substr(start, at - start));
    if (i < 2) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
  }
  if (at != text.size() || parts[0] > 255 || parts[1] > 255 || parts[2] > 65535) return false;
  *version = MakeVersionCode(static_cast<unsigned>(parts[0]), static_cast<unsigned>(parts[1]),
                             static_cast<unsigned>(parts[2]));
  return true;
}

bool BuildPackage(const std::string& oldDir, const std::string& newDir, VersionCode version, const std::string& outPath,
                  BuildStats* stats, std::string* error) {
  for (const std::string& dir : {oldDir, newDir}) {
    if (!IsFolder(dir)) {
      *error = std::string(dir == oldDir ? "OLD_DIR " : "NEW_DIR ") + platform::HostPath(dir) + " is not a folder";
      return false;
    }
    if (LiesIn(outPath, dir)) {
      *error = "-o " + platform::HostPath(outPath) + " lies inside " + (dir == oldDir ? "OLD_DIR" : "NEW_DIR") +
               " " + platform::HostPath(dir) + "; the package would become part of a release tree: write it elsewhere";
      return false;
    }
  }
  // Opening a pipe for writing waits for a reader; a device or a folder takes no package.
  std::error_code ec;
  const std::filesystem::file_status written = std::filesystem::status(WrittenPath(outPath), ec);
  if (std::filesystem::exists(written) && !std::filesystem::is_regular_file(written)) {
    *error = "-o " + platform::HostPath(outPath) + " is not a file (a folder, pipe, socket or device): give a file name";
    return false;
  }
  Tree oldTree, newTree;
  if (!Scan(oldDir, "", &oldTree, error) || !Scan(newDir, "", &newTree, error)) return false;
  for (const std::string& dir : {oldDir, newDir}) {
    if (IsFolder(dir + "/" + kUpdateIni)) {
      *error = std::string(dir == oldDir ? "OLD_DIR" : "NEW_DIR") + "'s " + kUpdateIni +
               " is a folder, not the file of the release's version";
      return false;
    }
  }

  // The version file is what tells clients the package is applied; without it, or with another
  // version, they apply the package again at every start.
  bool found = false;
  const std::string newVersion = VersionOf(newDir + "/" + kUpdateIni, &found);
  VersionCode newCode = 0;
  if (!found) {
    *error = "NEW_DIR has no " + std::string(kUpdateIni) + ": clients would apply the package again at every start";
    return false;
  }
  if (!ScanVersion(newVersion, &newCode) || newCode != version) {
    *error = std::string(kUpdateIni) + " of NEW_DIR says Version=" + newVersion + ", not " + VersionText(version) +
             ": clients would apply the package again at every start";
    return false;
  }
  const std::string oldVersion = VersionOf(oldDir + "/" + kUpdateIni, &found);
  VersionCode oldCode = 0;
  if (!found || !ScanVersion(oldVersion, &oldCode)) {
    *error = "OLD_DIR has no " + std::string(kUpdateIni) + (found ? " with a readable Version=" : "") +
             ": give the tree of the release the clients have, as the game build made it (every release keeps its " +
             kUpdateIni + ")";
    return false;
  }
  if (oldCode >= version) {
    *error = "OLD_DIR is at version " + VersionText(oldCode) + ", not older than " + VersionText(version) +
             ": clients there would not apply the package";
    return false;
  }

  // Names every client can write, and no two that Windows takes for one.
  std::map<std::string, std::string> newKeys;  // Windows key -> path
  std::set<std::string> newFileKeys;
  for (const auto& item : newTree) {
    const std::string& rel = item.first;
    if (!CheckGbkForm(newDir, rel, error)) return false;
    std::string why;
    if (!IsPortablePackageName(rel, &why)) {
      *error = "cannot go into a package: " + platform::HostPath(rel) + ": " + why;
      return false;
    }
    const std::string key = WindowsPathKey(rel);
    auto twin = newKeys.emplace(key, rel);
    if (!twin.second) {
      *error = "NEW_DIR holds " + platform::HostPath(twin.first->second) + " and " + platform::HostPath(rel) +
               ", which Windows takes for one name";
      return false;
    }
    if (!item.second.isDirectory) newFileKeys.insert(key);
  }
  const std::string listKey = WindowsPathKey(kDelFileList);
  auto data = newKeys.find("DATA");
  if (data != newKeys.end() && data->second != "data") {
    *error = "NEW_DIR spells its data folder " + platform::HostPath(data->second) +
             "; clients read the obsolete-file list from data/DelFileList.dat, spelled so";
    return false;
  }
  if (newTree.count("data") && !newTree.at("data").isDirectory) {
    *error = "NEW_DIR/data is a file; the obsolete-file list lives in the folder data/";
    return false;
  }
  if (newTree.count(kDelFileList) && newTree.at(kDelFileList).isDirectory) {
    *error = "NEW_DIR/" + std::string(kDelFileList) + " is a folder; nolkpack keeps the obsolete-file list there";
    return false;
  }

  const std::string dropped = DroppedProgramFile(oldTree, newTree);
  if (!dropped.empty()) {
    *error = dropped;
    return false;
  }

  std::map<std::string, bool> oldKinds;  // Windows key -> is a folder
  for (const auto& item : oldTree) oldKinds[WindowsPathKey(item.first)] = item.second.isDirectory;
  // Every package writes the list, so NEW_DIR has data/ and the list whether or not it has them yet:
  // nothing of that kind is retired, and a rebuild finds the same.
  if (oldKinds.count("DATA") && !oldKinds.at("DATA")) {
    *error = "OLD_DIR/data is a file; a package cannot turn it into the folder of the obsolete-file list";
    return false;
  }
  newKeys.emplace("DATA", "data");
  newKeys.emplace(listKey, kDelFileList);
  newFileKeys.insert(listKey);

  std::vector<std::string> records;
  std::string iniRecord;
  for (const auto& item : newTree) {
    const std::string& rel = item.first;
    auto kind = oldKinds.find(WindowsPathKey(rel));
    if (kind != oldKinds.end() && kind->second != item.second.isDirectory) {
      *error = "a package cannot turn a " + std::string(kind->second ? "folder" : "file") + " into a " +
               (item.second.isDirectory ? "folder" : "file") + ": " + platform::HostPath(rel) +
               "; give the new " + (item.second.isDirectory ? "folder" : "file") + " another name";
      return false;
    }
    auto old = oldTree.find(rel);
    if (item.second.isDirectory) {
      if (kind == oldKinds.end()) {
        // Folders come only on the way to a file.
        bool hasFile = false;
        for (auto it = newTree.upper_bound(rel + "/");
             it != newTree.end() && it->first.compare(0, rel.size() + 1, rel + "/") == 0; ++it)
          if (!it->second.isDirectory) hasFile = true;
        if (!hasFile && rel != "data") {
          *error = "new empty folder " + platform::HostPath(rel) +
                   ": a package carries files only, so clients would not get it; put a file in it or leave it out";
          return false;
        }
      }
      continue;
    }
    if (rel == kDelFileList) continue;  // written below
    std::string newBytes, oldBytes;
    if (!ReadWholeFile(newDir + "/" + rel, &newBytes, error)) return false;
    std::string record;
    // In place only under the very same name: a client on a case-sensitive file system has no other.
    if (old == oldTree.end()) {
      record = MakeRecord(kSectionAddf, 0, rel, newBytes);
      ++stats->added;
    } else {
      if (!ReadWholeFile(oldDir + "/" + rel, &oldBytes, error)) return false;
      if (oldBytes == newBytes) continue;
      std::string runs = MakePatchRuns(oldBytes, newBytes);
      if (runs.size() < newBytes.size()) {
        record = MakeRecord(kSectionModi, static_cast<std::uint32_t>(newBytes.size()), rel, runs);
        ++stats->modified;
      } else {
        record = MakeRecord(kSectionAddf, 0, rel, newBytes);
        ++stats->added;
      }
    }
    if (rel == kUpdateIni)
      iniRecord.swap(record);
    else
      records.push_back(std::move(record));
  }

  // The obsolete-file list is the whole history of removals, less everything that exists again: a
  // client several releases behind removes only once, from the list of the newest package. It
  // comes from the list kept with OLD_DIR and from what went from OLD_DIR to NEW_DIR, every file
  // and folder on its own line, so that a folder that partly comes back later keeps the rest of its
  // content listed. NEW_DIR's own list is only ever written: one left by an earlier build of this
  // release (from another OLD_DIR) must not stay in force.
  std::vector<ListEntry> carried;
  const std::string oldList = oldDir + "/" + kDelFileList;
  if (platform::GetPathKind(oldList) == platform::PathKind::kFile) {
    std::string text;
    if (!ReadWholeFile(oldList, &text, error)) return false;
    for (const ListEntry& e : ParseObsoleteList(text)) {
      if (ListLine(e).size() > kMaxListLine) {
        *error = "OLD_DIR's obsolete-file list " + platform::HostPath(oldList) + " has a line over " +
                 std::to_string(kMaxListLine) + " bytes, where clients stop reading: " + platform::HostPath(ListLine(e)) +
                 "; shorten or remove that line there";
        return false;
      }
      carried.push_back(e);
    }
  }
  std::vector<ListEntry> entries;
  for (const auto& item : oldTree)
    if (!newKeys.count(WindowsPathKey(item.first)) && WindowsPathKey(item.first) != listKey)
      entries.push_back(ListEntry{item.first, true, item.second.isDirectory});
  std::set<std::string> listedFolders;
  for (const ListEntry& e : carried)
    if (e.belowRoot) listedFolders.insert(WindowsPathKey(e.path).substr(0, WindowsPathKey(e.path).rfind('/')));
  for (const ListEntry& e : carried) {
    if (!e.belowRoot) {
      entries.push_back(e);
      continue;
    }
    const std::string key = WindowsPathKey(e.path);
    // A path below a file of NEW_DIR, or a folder where NEW_DIR has a file: clients that skipped
    // releases still hold that folder, and no package can turn it into a file.
    for (const std::string& file : newFileKeys) {
      if (StartsWithFolder(key, file) || (e.folder && key == file)) {
        *error = platform::HostPath(newKeys[file]) +
                 " was a folder in an earlier release (the obsolete-file list names " + platform::GbkToUtf8(ListLine(e)) +
                 "); clients that skipped releases still have it, and a package cannot turn it into a file: give the file "
                 "another name";
        return false;
      }
    }
    if (key.empty() || key == listKey) continue;
    if (newKeys.count(key)) {
      const bool isFolderNow = !newFileKeys.count(key);
      // A line without the folder mark and nothing listed below it names a retired file: clients
      // that skipped releases still have it, and the package's files below it would fail there.
      if (!e.folder && isFolderNow && !listedFolders.count(key)) {
        *error = platform::HostPath(newKeys[key]) + " is a folder, but the obsolete-file list names " +
                 platform::GbkToUtf8(ListLine(e)) +
                 " as a file retired earlier; clients that skipped releases still have that file, and a package "
                 "cannot turn it into a folder: give the folder another name (or, if the line named a folder, "
                 "end it with \\ in " + platform::HostPath(oldList) + ")";
        return false;
      }
      // A folder retired whole by a hand-written line: its other content cannot be known any more.
      if (e.folder && isFolderNow && !listedFolders.count(key))
        stats->warnings.push_back("the retired folder " + platform::HostPath(e.path) +
                                  " partly comes back; what else it held is not listed: list it in " +
                                  platform::HostPath(oldList) + " if clients may still have it");
      continue;
    }
    entries.push_back(e);
  }
  // One line per path and spelling (on a case-sensitive client each spelling is a file of its own).
  std::map<std::string, ListEntry> lines;
  for (const ListEntry& e : entries) {
    ListEntry plain = e;
    plain.folder = false;
    auto at = lines.emplace(ListLine(plain), e);
    if (e.folder) at.first->second.folder = true;
  }
  std::string listText;
  for (const auto& l : lines) {
    const std::string line = ListLine(l.second);
    if (line.size() > kMaxListLine) {
      *error = "OLD_DIR holds a path too long for the obsolete-file list line (259 bytes) that retiring it needs: " +
               platform::HostPath(line) + "; keep it in NEW_DIR";
      return false;
    }
    listText += line + "\r\n";
    ++stats->removed;
  }
  // Always, even when empty or unchanged: the list of an earlier package must never stay in force.
  records.push_back(MakeRecord(kSectionAddf, 0, kDelFileList, listText));

  // Last, so a package cut short keeps the old version and is applied again in full.
  if (!iniRecord.empty()) records.push_back(std::move(iniRecord));
  if (!WritePackage(outPath, version, records, error)) return false;

  // NEW_DIR keeps the list: the next release is built from it.
  const std::string listPath = newDir + "/" + kDelFileList;
  if (!IsFolder(newDir + "/data")) platform::MakeDir(newDir + "/data");
  std::FILE* f = platform::OpenStdFile(listPath, "wb");
  bool ok = f && std::fwrite(listText.data(), 1, listText.size(), f) == listText.size();
  ok = f && std::fclose(f) == 0 && ok;
  if (!ok) {
    platform::DeleteFile(outPath);
    *error = "cannot write " + platform::HostPath(listPath) + " (the package is not kept without it)";
    return false;
  }
  stats->listPath = listPath;
  return true;
}

}  // namespace nolkpack
