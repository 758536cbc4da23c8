#include "update/install_dirs.h"

#include "update/strings.h"

std::string StartDir;
std::string RootDir;
std::string DownloadDir;

void SetInstallDirs(const std::string& start, const std::string& root) {
  StartDir = start;
  RootDir = root;
  if (RootDir.empty() || RootDir.back() != '/') RootDir += '/';
  DownloadDir = RootDir + kDownloadSubdir;
}
