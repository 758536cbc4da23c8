#include <unistd.h>

#include <vector>

#include "platform/codepage.h"
#include "platform/current_folder.h"

namespace platform {

std::string CurrentFolder(std::size_t bufferSize) {
  std::vector<char> buf(4096 + 1, 0);
  if (!getcwd(buf.data(), buf.size())) return std::string();
  std::string gbk = Utf8ToGbk(buf.data());
  if (gbk.size() + 1 > bufferSize) return std::string();
  return gbk;
}

bool CurrentFolderHasGbkName() {
  std::vector<char> buf(4096 + 1, 0);
  return getcwd(buf.data(), buf.size()) && HasGbkForm(buf.data());
}

bool ChangeCurrentFolder(const std::string& gbkPath) { return chdir(HostPath(gbkPath).c_str()) == 0; }

}  // namespace platform
