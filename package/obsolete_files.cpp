#include "package/obsolete_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "package/program_files.h"
#include "platform/file_system.h"
#include "platform/shared_stream.h"
#include "update/name_rules.h"

const char* const DelFileListPath = "..\\..\\data\\DelFileList.dat";

namespace {

const std::size_t kMaxLine = 259;

std::vector<std::string> Components(const std::string& path, std::string* prefix) {
  // The first component is kept as the anchor: "" for "/..." or a drive such as "Z:". Split
  // GBK-aware: a character whose trail byte is 0x5C stays whole.
  std::vector<std::string> all = SplitPathComponents(path);
  *prefix = all[0];
  std::vector<std::string> parts;
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (all[i] == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!all[i].empty() && all[i] != ".") {
      parts.push_back(all[i]);
    }
  }
  return parts;
}

// The components from index from on, as Windows resolves them: trimmed, upper-cased, and those that
// trim to nothing left out.
std::vector<std::string> WindowsKeys(const std::vector<std::string>& parts, std::size_t from) {
  std::vector<std::string> keys;
  for (std::size_t i = from; i < parts.size(); ++i) {
    std::string key = WindowsPathKey(parts[i]);
    if (!key.empty()) keys.push_back(key);
  }
  return keys;
}

std::string Join(const std::string& prefix, const std::vector<std::string>& parts, std::size_t count) {
  std::string out = prefix;
  for (std::size_t i = 0; i < count; ++i) out += "\\" + parts[i];
  return out;
}

// Reads one line of at most kMaxLine bytes; a CR before the LF goes with it.
// Returns false at the end of the list or at a line that does not fit.
bool ReadListLine(std::FILE* list, std::string* line) {
  line->clear();
  int c = std::fgetc(list);
  if (c == EOF) return false;
  for (;;) {
    if (c == EOF || c == '\n') return true;
    if (c == '\r') {
      int next = std::fgetc(list);
      if (next == '\n' || next == EOF) return true;
      std::ungetc(next, list);
    }
    if (line->size() == kMaxLine) return false;
    line->push_back(static_cast<char>(c));
    c = std::fgetc(list);
  }
}

void RemoveBelowRoot(const std::string& current, const std::string& line) {
  std::string rootPrefix, startPrefix, prefix;
  std::vector<std::string> root = Components(current + "\\..\\..", &rootPrefix);
  std::vector<std::string> start = Components(current, &startPrefix);
  std::vector<std::string> target = Components(current + "\\" + line, &prefix);
  // Strictly below the root, by whole components.
  if (prefix != rootPrefix || target.size() <= root.size()) return;
  for (std::size_t i = 0; i < root.size(); ++i)
    if (target[i] != root[i]) return;
  // Never the program's own folder nor a folder above it (which would take the program, its library
  // and its log along), however Windows would spell or trim the way there.
  std::vector<std::string> targetKeys = WindowsKeys(target, root.size());
  std::vector<std::string> startKeys = WindowsKeys(start, root.size());
  if (targetKeys.size() <= startKeys.size() && std::equal(targetKeys.begin(), targetKeys.end(), startKeys.begin()))
    return;
  // Never through a link: a linked folder on the way would lead out of the installation.
  for (std::size_t i = root.size() + 1; i < target.size(); ++i)
    if (platform::GetPathKind(Join(prefix, target, i)) != platform::PathKind::kDirectory) return;
  // Nor the program's files or the new content waiting for their place, however spelled: no later
  // start could run without them.
  const std::string path = Join(prefix, target, target.size());
  const std::string trimmed = TrimWindowsComponent(path);
  const std::size_t n = std::strlen(kPendingSuffix);
  const bool pending =
      trimmed.size() > n && WindowsPathKey(trimmed.substr(trimmed.size() - n)) == WindowsPathKey(kPendingSuffix);
  if (IsPatcherFile(path) || (pending && IsPatcherFile(trimmed.substr(0, trimmed.size() - n)))) return;
  DeletePathTree(path);
}

}  // namespace

std::string NormalizePath(const std::string& path) {
  std::string prefix;
  std::vector<std::string> parts = Components(path, &prefix);
  return Join(prefix, parts, parts.size());
}

bool IsDirectory(const std::string& path) {
  platform::FindData data;
  void* search = platform::FindFirst(path + "//*", &data);
  if (!search) return false;
  platform::FindClose(search);
  return true;
}

bool DeletePathTree(const std::string& path) {
  if (platform::GetPathKind(path) == platform::PathKind::kLink) return platform::RemoveLink(path);
  if (!IsDirectory(path)) {
    platform::DeleteFile(path);
    return true;
  }
  platform::FindData data;
  void* search = platform::FindFirst(path + "//*.*", &data);
  if (search) {
    do {
      if (data.name == "." || data.name == "..") continue;
      const std::string child = path + "//" + data.name;
      if (data.isReparsePoint)
        platform::RemoveLink(child);
      else if (IsDirectory(child))
        DeletePathTree(child);
      else
        platform::DeleteFile(child);
    } while (platform::FindNext(search, &data));
    platform::FindClose(search);
  }
  return platform::RemoveDirectory(path);
}

void RemoveObsoleteFiles() { RemoveObsoleteFilesIn(platform::GetCurrentDirectory()); }

void RemoveObsoleteFilesIn(const std::string& current) {
  if (current.empty()) return;
  // Resolved by its text, as Windows does, so the program's folders need not exist (nolkpack verify).
  std::FILE* list = platform::OpenSharedReadStream(NormalizePath(current + "\\" + DelFileListPath));
  if (!list) return;
  std::string line;
  while (ReadListLine(list, &line)) {
    // An empty line would name the program's own folder.
    if (line.empty()) continue;
    RemoveBelowRoot(current, line);
  }
  std::fclose(list);
}
