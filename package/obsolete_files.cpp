#include "package/obsolete_files.h"

#include <cstdio>
#include <vector>

#include "platform/file_system.h"
#include "platform/shared_stream.h"

const char* const DelFileListPath = "..\\..\\data\\DelFileList.dat";

namespace {

const std::size_t kMaxLine = 259;

std::vector<std::string> Components(const std::string& path, std::string* prefix) {
  // The first component is kept as the anchor: "" for "/..." or a drive such as "Z:".
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  bool first = true;
  for (;;) {
    std::string::size_type end = path.find_first_of("/\\", start);
    std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (first) {
      *prefix = part;
      first = false;
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
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
  std::string rootPrefix, prefix;
  std::vector<std::string> root = Components(current + "\\..\\..", &rootPrefix);
  std::vector<std::string> target = Components(current + "\\" + line, &prefix);
  // Strictly below the root, by whole components.
  if (prefix != rootPrefix || target.size() <= root.size()) return;
  for (std::size_t i = 0; i < root.size(); ++i)
    if (target[i] != root[i]) return;
  // Never through a link: a linked folder on the way would lead out of the installation.
  for (std::size_t i = root.size() + 1; i < target.size(); ++i)
    if (platform::GetPathKind(Join(prefix, target, i)) != platform::PathKind::kDirectory) return;
  DeletePathTree(Join(prefix, target, target.size()));
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

void RemoveObsoleteFiles() {
  const std::string current = platform::GetCurrentDirectory();
  if (current.empty()) return;
  std::FILE* list = platform::OpenSharedReadStream(current + "\\" + DelFileListPath);
  if (!list) return;
  std::string line;
  while (ReadListLine(list, &line)) {
    // An empty line would name the program's own folder.
    if (line.empty()) continue;
    RemoveBelowRoot(current, line);
  }
  std::fclose(list);
}
