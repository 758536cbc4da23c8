#include "tests/support/test_files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

namespace testsupport {
namespace fs = std::filesystem;

namespace {

fs::path Base() {
  const char* env = std::getenv("NOLK_TEST_TMP");
  fs::path base = env && *env ? fs::path(env) : fs::temp_directory_path() / "nolk-tests";
  std::error_code ec;
  fs::create_directories(base, ec);
  return base;
}

}  // namespace

TempDir::TempDir() {
  static std::mt19937_64 rng(std::random_device{}());
  for (;;) {
    fs::path p = Base() / ("t" + std::to_string(rng() % 100000000ull));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.generic_string();
      return;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

bool ReadFile(const std::string& path, std::string* bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes->clear();
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->append(buf, n);
  std::fclose(f);
  return true;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::path(path), ec);
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(fs::path(path), ec);
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  // Read-only entries would stop the removal on Windows.
  for (auto it = fs::recursive_directory_iterator(fs::path(path), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(fs::path(path), ec);
}

std::string RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

void WriteRandomFile(const std::string& path, std::uint64_t n, std::uint32_t seed) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> buf(1 << 18);
  while (n > 0) {
    for (auto& w : buf) w = rng();
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(n, buf.size() * 4));
    std::fwrite(buf.data(), 1, chunk, f);
    n -= chunk;
  }
  std::fclose(f);
}

}  // namespace testsupport
