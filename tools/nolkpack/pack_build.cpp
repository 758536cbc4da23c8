#include "tools/nolkpack/pack_build.h"

#include <bzlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "package/update_sec.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/large_file.h"
#include "platform/stdio_file.h"

// bzlib.h brings windows.h along on Windows; its DeleteFile macro would rename ours.
#undef DeleteFile

namespace nolkpack {
namespace {

const char kDelFileList[] = "data/DelFileList.dat";
const char kUpdateIni[] = "var/gac/update.ini";
const char kListPrefix[] = "..\\..\\";
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

struct Entry {
  bool isDirectory;
};
using Tree = std::map<std::string, Entry>;  // relative GBK path with "/" -> entry

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
    (*tree)[path] = Entry{data.isDirectory};
    if (data.isDirectory) subdirs.push_back(path);
  } while (platform::FindNext(search, &data));
  platform::FindClose(search);
  for (const std::string& s : subdirs)
    if (!Scan(root, s, tree, error)) return false;
  return true;
}

bool ReadWhole(const std::string& path, std::string* bytes, std::string* error) {
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

// Entries of an obsolete-file list, as paths relative to the root with "/" separators.
std::vector<std::string> ReadListEntries(const std::string& listPath) {
  std::vector<std::string> entries;
  std::string text, err;
  if (platform::GetPathKind(listPath) != platform::PathKind::kFile || !ReadWhole(listPath, &text, &err)) return entries;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, std::strlen(kListPrefix), kListPrefix) != 0 &&
        line.compare(0, std::strlen(kListPrefix), "../../") != 0)
      continue;  // not below the root: nothing we could keep meaningfully
    std::string rel = line.substr(std::strlen(kListPrefix));
    for (char& c : rel)
      if (c == '\\') c = '/';
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    if (!rel.empty()) entries.push_back(rel);
  }
  return entries;
}

std::string ListLine(const std::string& rel) {
  std::string line = kListPrefix + rel;
  for (char& c : line)
    if (c == '/') c = '\\';
  return line;
}

}  // namespace

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
  if (platform::GetPathKind(oldDir) != platform::PathKind::kDirectory) {
    *error = "not a folder: " + platform::HostPath(oldDir);
    return false;
  }
  if (platform::GetPathKind(newDir) != platform::PathKind::kDirectory) {
    *error = "not a folder: " + platform::HostPath(newDir);
    return false;
  }
  Tree oldTree, newTree;
  if (!Scan(oldDir, "", &oldTree, error) || !Scan(newDir, "", &newTree, error)) return false;

  std::vector<std::string> records;
  std::string iniRecord;
  for (const auto& item : newTree) {
    const std::string& rel = item.first;
    auto old = oldTree.find(rel);
    if (old != oldTree.end() && old->second.isDirectory != item.second.isDirectory) {
      *error = "a package cannot turn a " + std::string(old->second.isDirectory ? "folder" : "file") + " into a " +
               (item.second.isDirectory ? "folder" : "file") + ": " + platform::HostPath(rel);
      return false;
    }
    if (item.second.isDirectory) {
      if (old == oldTree.end()) {
        // Folders come only on the way to a file.
        bool hasFile = false;
        for (auto it = newTree.upper_bound(rel + "/");
             it != newTree.end() && it->first.compare(0, rel.size() + 1, rel + "/") == 0; ++it)
          if (!it->second.isDirectory) hasFile = true;
        if (!hasFile) stats->warnings.push_back("empty folder not carried by the package: " + platform::HostPath(rel));
      }
      continue;
    }
    if (rel == kDelFileList) continue;  // written below, from both lists
    if (rel.size() + 1 > 0xFFFF) {
      *error = "path too long: " + platform::HostPath(rel);
      return false;
    }
    std::string newBytes, oldBytes;
    if (!ReadWhole(newDir + "/" + rel, &newBytes, error)) return false;
    std::string record;
    if (old == oldTree.end()) {
      record = MakeRecord(kSectionAddf, 0, rel, newBytes);
      ++stats->added;
    } else {
      if (!ReadWhole(oldDir + "/" + rel, &oldBytes, error)) return false;
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

  // The obsolete-file list: what the old list still names, plus what went, less what is back.
  std::set<std::string> gone;
  for (const std::string& e : ReadListEntries(oldDir + "/" + kDelFileList)) gone.insert(e);
  for (const std::string& e : ReadListEntries(newDir + "/" + kDelFileList)) gone.insert(e);
  for (const auto& item : oldTree) {
    if (newTree.count(item.first) || item.first == kDelFileList) continue;
    // A folder that went takes everything below it along.
    std::string::size_type slash = item.first.rfind('/');
    if (slash != std::string::npos && !newTree.count(item.first.substr(0, slash)) &&
        oldTree.count(item.first.substr(0, slash)))
      continue;
    gone.insert(item.first);
  }
  std::string listText;
  for (const std::string& e : gone) {
    if (newTree.count(e)) continue;
    std::string line = ListLine(e);
    if (line.size() > kMaxListLine) {
      *error = "path too long for the obsolete-file list (259 bytes): " + platform::HostPath(e);
      return false;
    }
    listText += line + "\r\n";
    ++stats->removed;
  }
  std::string oldList;
  bool hadList = oldTree.count(kDelFileList) && ReadWhole(oldDir + "/" + kDelFileList, &oldList, error);
  if ((hadList || !listText.empty()) && !(hadList && oldList == listText))
    records.push_back(MakeRecord(kSectionAddf, 0, kDelFileList, listText));

  // Last, so a package cut short keeps the old version and is applied again in full.
  if (!iniRecord.empty()) records.push_back(std::move(iniRecord));
  return WritePackage(outPath, version, records, error);
}

}  // namespace nolkpack
