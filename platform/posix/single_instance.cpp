#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/single_instance.h"

namespace platform {

void* TakeSingleInstanceGuard(const std::string& name, bool* alreadyRunning) {
  *alreadyRunning = false;
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *alreadyRunning = errno == EWOULDBLOCK;
    if (!*alreadyRunning) {
      close(fd);
      return nullptr;
    }
  }
  // fd + 1 so that descriptor 0 is not mistaken for "no guard".
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
}

void ReleaseSingleInstanceGuard(void* guard) {
  if (guard) close(static_cast<int>(reinterpret_cast<std::intptr_t>(guard) - 1));
}

}  // namespace platform
