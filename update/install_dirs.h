// The three folders every run works in (GBK texts). The application fixes them at start-up; tests
// point them at a temporary installation.
#pragma once
#include <string>

// The current directory at start.
extern std::string StartDir;
// The installation root, with "/" separators and a trailing "/".
extern std::string RootDir;
// RootDir + "var/gac", no trailing separator: the packages and the INI files lie here.
extern std::string DownloadDir;

// Sets all three; a trailing "/" is added to root when it has none.
void SetInstallDirs(const std::string& start, const std::string& root);
