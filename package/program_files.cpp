#include "package/program_files.h"

#include "package/obsolete_files.h"
#include "platform/running_program.h"
#include "update/name_rules.h"

namespace {

std::string NameKey(const std::string& path) { return WindowsPathKey(NormalizePath(path)); }

// The last component as Windows resolves it, ASCII letters in lower case: the program's names are ASCII.
std::string LeafOf(const std::string& path) {
  const std::size_t at = FindLastPathSeparator(path);
  std::string leaf = TrimWindowsComponent(at == std::string::npos ? path : path.substr(at + 1));
  for (char& c : leaf)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return leaf;
}

}  // namespace

bool IsPatcherFile(const std::string& path) {
  if (platform::IsRunningProgramFile(path)) return true;
  // Most paths are no program file by their last name alone; only the others are resolved whole.
  const std::string leaf = LeafOf(path);
  for (const std::string& running : platform::RunningProgramFiles()) {
    const std::size_t folderEnd = FindLastPathSeparator(running);
    const std::string folder = folderEnd == std::string::npos ? std::string() : running.substr(0, folderEnd + 1);
    // The library counts even before it is there: a package may bring it.
    for (const std::string& file : {running, folder + kProgramLibrary})
      if (leaf == LeafOf(file) && NameKey(file) == NameKey(path)) return true;
  }
  return false;
}
