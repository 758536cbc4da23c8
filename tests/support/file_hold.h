// Holds a file open as another program might: sharing reads and writes with everyone, or exclusively
// (Windows share mode 0). Windows applies share modes to every other open, in this process or another.
#pragma once
#include <string>

namespace testsupport {

class FileHold {
 public:
  FileHold(const std::string& hostPath, bool exclusive);
  ~FileHold();
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;
  bool Held() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// True where an exclusive hold keeps other opens out (Windows); POSIX has no such sharing modes.
bool ExclusiveHoldsEnforced();

}  // namespace testsupport
