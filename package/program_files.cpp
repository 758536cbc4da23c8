#include "package/program_files.h"

#include "package/obsolete_files.h"
#include "platform/running_program.h"
#include "update/name_rules.h"

namespace {

std::string NameKey(const std::string& path) { return WindowsPathKey(NormalizePath(path)); }

}  // namespace

bool IsPatcherFile(const std::string& path) {
  if (platform::IsRunningProgramFile(path)) return true;
  const std::string key = NameKey(path);
  for (const std::string& running : platform::RunningProgramFiles()) {
    const std::size_t folderEnd = FindLastPathSeparator(running);
    const std::string folder = folderEnd == std::string::npos ? std::string() : running.substr(0, folderEnd + 1);
    // The library counts even before it is there: a package may bring it.
    if (NameKey(running) == key || NameKey(folder + kProgramLibrary) == key) return true;
  }
  return false;
}
