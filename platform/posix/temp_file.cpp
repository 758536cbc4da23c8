#include <stdlib.h>
#include <unistd.h>

#include "platform/codepage.h"
#include "platform/temp_file.h"

namespace platform {

std::string CreateTempFile(const std::string& prefix) {
  const char* dir = getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + prefix + "XXXXXX";
  int fd = mkstemp(&pattern[0]);
  if (fd < 0) return std::string();
  close(fd);
  return Utf8ToGbk(pattern);
}

bool TempFolderHasGbkName() {
  const char* dir = getenv("TMPDIR");
  return HasGbkForm(dir && *dir ? dir : "/tmp");
}

bool RemoveTempFile(const std::string& gbkPath) { return unlink(HostPath(gbkPath).c_str()) == 0; }

}  // namespace platform
