#include "tools/nolkpack/program_files_check.h"

#include "platform/codepage.h"
#include "update/name_rules.h"

namespace nolkpack {
namespace {

const char* const kProgramFiles[] = {"bin/patch/nolkpatch.exe", "bin/patch/nolkdbghelp.dll"};
const char kProgramFolder[] = "bin/patch/";

// The program file a key below the root names, or null.
const char* ProgramFileOf(const std::string& key) {
  for (const char* file : kProgramFiles)
    if (key == WindowsPathKey(file)) return file;
  return nullptr;
}

}  // namespace

std::string DroppedProgramFile(const GameTree& oldTree, const GameTree& newTree) {
  for (const auto& item : oldTree) {
    const char* file = item.second.isDirectory ? nullptr : ProgramFileOf(WindowsPathKey(item.first));
    if (!file) continue;
    bool kept = false;
    for (const auto& now : newTree)
      kept = kept || (!now.second.isDirectory && ProgramFileOf(WindowsPathKey(now.first)) == file);
    if (!kept)
      return "NEW_DIR drops " + platform::HostPath(item.first) +
             ", which OLD_DIR has: a release must keep the patcher's own files, or players could not run it again";
  }
  return std::string();
}

std::vector<std::string> ListLinesNamingProgramFiles(const std::vector<ListEntry>& list) {
  std::vector<std::string> problems;
  for (const ListEntry& e : list) {
    // Lines from the program's folder resolve in bin/patch/ as deployed; "..\" leads to bin/.
    const bool fromBin = !e.belowRoot && e.path.compare(0, 3, "..\\") == 0;
    const std::string path = e.belowRoot ? e.path : fromBin ? "bin/" + e.path.substr(3) : kProgramFolder + e.path;
    if (const char* file = ProgramFileOf(WindowsPathKey(path)))
      problems.push_back("the obsolete-file list line " + platform::GbkToUtf8(ListLine(e)) +
                         " names the patcher's own " + file +
                         ": clients before this one delete it, and then no start can run");
  }
  return problems;
}

}  // namespace nolkpack
