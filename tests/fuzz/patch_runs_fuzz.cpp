// MODI records on a real file: the input is the record's fileLength (4 bytes) and its runs. Runs that
// fit are written exactly as a model of them says; runs that overrun leave the file as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "package/update_sec.h"
#include "platform/file_system.h"
#include "platform/message_box.h"

namespace {

const std::string& Root() {
  static const std::string root = [] {
    const char* dir = std::getenv("NOLK_TEST_TMP");
    std::random_device rd;
    std::string r = std::string(dir && *dir ? dir : ".") + "/runs-fuzz-" + std::to_string(rd());
    platform::MakeDir(r);
    platform::SetMessageBoxHandler(
        [](const platform::MessageBoxRequest&) { return static_cast<int>(platform::kIdCancel); });
    return r;
  }();
  return root;
}

std::string ReadAll(const std::string& path) {
  std::string s;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::uint32_t Le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint32_t fileLength = Le(data) & 0xFFFF;  // keep files small
  const std::string runs(reinterpret_cast<const char*>(data) + 4, size - 4);
  const unsigned char* r = reinterpret_cast<const unsigned char*>(runs.data());
  const bool valid = CheckPatchRuns(r, static_cast<std::uint32_t>(runs.size()));

  // The model, and a bound on how far the runs reach.
  const std::string original(64, 'o');
  std::string expected = original;
  if (valid) {
    std::uint64_t pos = 0;
    for (std::size_t i = 0; i < runs.size();) {
      pos += Le(data + 4 + i);
      const std::uint32_t n = Le(data + 8 + i);
      if (pos + n > (1u << 20)) return 0;  // far seeks make huge sparse files: not of interest here
      if (expected.size() < pos + n) expected.resize(static_cast<std::size_t>(pos + n), '\0');
      expected.replace(static_cast<std::size_t>(pos), n, runs, i + 8, n);
      pos += n;
      i += 8 + static_cast<std::size_t>(n);
    }
    expected.resize(fileLength, '\0');
  }

  const std::string root = Root() + "/";
  const std::string target = root + "f.dat";
  std::FILE* f = std::fopen(target.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(original.data(), 1, original.size(), f);
  std::fclose(f);

  const std::string rec = std::string("IDOM") + Le32(fileLength) + Le32(6) + std::string("f.dat", 6) +
                          Le32(static_cast<std::uint32_t>(runs.size())) + runs;
  const bool applied = ApplyUpdateSec("fuzz.pkg", root, reinterpret_cast<const unsigned char*>(rec.data()));
  if (applied != valid) std::abort();
  if (ReadAll(target) != (valid ? expected : original)) std::abort();
  return 0;
}
