// The obsolete-file list as nolkpack keeps it over a release history: lines read and normalised the
// way clients resolve them, and written back one path per line, folders with a trailing "\".
#pragma once
#include <string>
#include <vector>

namespace nolkpack {

struct ListEntry {
  // Below the root: the path with "/" separators. Otherwise (relative to the program's own folder,
  // whose name the tool cannot know): the normalised line with "\" separators, kept as it is.
  std::string path;
  bool belowRoot = true;
  bool folder = false;  // written with a trailing separator
};

// Lines of a list. Empty lines, lines that lead above the root or are absolute, and lines naming the
// root or the program's folder itself are left out (clients pass them over).
std::vector<ListEntry> ParseObsoleteList(const std::string& text);

// The line of an entry: "..\..\data\old.dat", "..\..\data\old\" for a folder.
std::string ListLine(const ListEntry& entry);

}  // namespace nolkpack
