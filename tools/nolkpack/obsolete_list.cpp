#include "tools/nolkpack/obsolete_list.h"

#include "update/name_rules.h"

namespace nolkpack {
namespace {

// Stand for the two unknown folders between the root and the program's folder.
const char kStartLevel[] = "\x01";

std::string Join(const std::vector<std::string>& parts, std::size_t from, const char* separator) {
  std::string out;
  for (std::size_t i = from; i < parts.size(); ++i) {
    if (i > from) out += separator;
    out += parts[i];
  }
  return out;
}

}  // namespace

std::vector<ListEntry> ParseObsoleteList(const std::string& text) {
  std::vector<ListEntry> entries;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> parts = SplitPathComponents(line);
    // "\x", "/x" and "C:..." name places outside the installation.
    if ((parts.size() > 1 && parts[0].empty()) || parts[0].find(':') != std::string::npos) continue;
    std::vector<std::string> stack = {kStartLevel, kStartLevel};
    bool above = false;
    for (const std::string& p : parts) {
      if (p.empty() || p == ".") continue;
      if (p == "..") {
        if (stack.empty()) {
          above = true;
          break;
        }
        stack.pop_back();
      } else {
        stack.push_back(p);
      }
    }
    if (above) continue;
    ListEntry e;
    e.folder = parts.back().empty();
    std::size_t levels = 0;
    while (levels < stack.size() && stack[levels] == kStartLevel) ++levels;
    if (levels == stack.size()) continue;  // the root, or a folder the program lives in
    e.belowRoot = levels == 0;
    if (levels == 0)
      e.path = Join(stack, 0, "/");
    else
      e.path = (levels == 1 ? std::string("..\\") : std::string()) + Join(stack, levels, "\\");
    entries.push_back(e);
  }
  return entries;
}

std::string ListLine(const ListEntry& entry) {
  std::string line = entry.belowRoot ? "..\\..\\" + entry.path : entry.path;
  // "/" is never a GBK trail byte, so a plain replacement is safe.
  for (char& c : line)
    if (c == '/') c = '\\';
  if (entry.folder) line += '\\';
  return line;
}

}  // namespace nolkpack
