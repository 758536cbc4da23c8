// Temporary folders and whole-file helpers for tests.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <string>

namespace testsupport {

// An environment variable the suite sets (folders of the builds), empty when unset.
inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// A fresh empty folder below the build's test area (GBK-free ASCII path); removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // Path with "/" separators and no trailing separator, in the host's own encoding.
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Host-encoded paths (UTF-8 on Linux, the ANSI code page on Windows).
void WriteFile(const std::string& path, const std::string& bytes);
bool ReadFile(const std::string& path, std::string* bytes);
bool Exists(const std::string& path);
void MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);
std::string RandomBytes(std::size_t n, std::uint32_t seed);
// Writes n pseudo-random bytes in pieces, for files too large to hold in memory.
void WriteRandomFile(const std::string& path, std::uint64_t n, std::uint32_t seed);

}  // namespace testsupport
