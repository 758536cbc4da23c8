// Removes what an update made obsolete: the paths listed in the installation's data/DelFileList.dat,
// one per line, relative to the program's folder (StartDir, two below RootDir). Best-effort and
// silent. Nothing outside the installation, nor the installation root, nor the program's own folder
// or a folder above it, nor the program or its library, is ever removed, and links are removed
// themselves, never followed.
#pragma once
#include <string>

// "..\\..\\data\\DelFileList.dat", relative to the current folder.
extern const char* const DelFileListPath;

// Reads the list from the current folder (StartDir).
void RemoveObsoleteFiles();
// The same as if the program ran in startDir (which need not exist): for nolkpack verify.
void RemoveObsoleteFilesIn(const std::string& startDir);

// A file is deleted (true, whatever came of it); a folder is emptied depth first and removed
// (true when the folder went). A link is removed itself.
bool DeletePathTree(const std::string& path);

// True when a search for the path's entries succeeds: the path names a folder.
bool IsDirectory(const std::string& path);

// The path with "." and ".." resolved lexically, "\\" as separator, no trailing separator.
std::string NormalizePath(const std::string& path);
