// The package reader on hostile packages. The first byte chooses the form: odd, the rest is the
// package file as it stands (header and bzip2 stream); even, the rest is a record stream that is
// compressed into an otherwise valid package, so mutations reach the record layout. Every record
// handed out must lie inside the layout's limits, and a name the writer accepts stays below the root.
#include <bzlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "package/bz_update_helper.h"
#include "package/obsolete_files.h"
#include "package/update_sec.h"

namespace {

const std::string& TempPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("NOLK_TEST_TMP");
    std::random_device rd;
    return std::string(dir && *dir ? dir : ".") + "/reader-fuzz-" + std::to_string(rd()) + ".pkg";
  }();
  return path;
}

std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::string Package(std::uint32_t version, const std::string& body) {
  std::vector<char> out(body.size() + body.size() / 50 + 1024);
  unsigned int len = static_cast<unsigned int>(out.size());
  if (BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(body.data()), static_cast<unsigned int>(body.size()),
                               1, 0, 30) != BZ_OK)
    return std::string();
  return "ZBNR" + Le32(version) + Le32(0) + std::string(out.data(), len);
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::uint32_t version = 0x01020003;
  const std::string file = (data[0] & 1) ? rest : Package(version, rest);
  std::FILE* f = std::fopen(TempPath().c_str(), "wb");
  if (!f) return 0;
  std::fwrite(file.data(), 1, file.size(), f);
  std::fclose(f);

  BzUpdateHelper reader;
  if (!reader.Open(version, "fuzz.pkg", TempPath())) {
    Check(!reader.GetErrorText().empty());
    return 0;
  }
  for (int records = 0;; ++records) {
    const unsigned char* s = reader.ReadSection();
    if (reader.IsEnd()) break;
    if (!s) {
      Check(!reader.GetErrorText().empty());
      break;
    }
    const std::uint32_t n = SectionNameLength(s);
    Check(n >= 1 && n <= 0x7FFFFFFF);
    Check(std::memchr(s + 12, 0, n) != nullptr);
    const std::uint32_t d = SectionDataLength(s);
    Check(d <= 0x7FFFFFFF);
    // The whole record must be readable.
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < 16ull + n + d; ++i) sum += s[i];
    (void)sum;
    if (SectionKind(s) == kSectionModi) CheckPatchRuns(SectionData(s), d);
    const std::string name = SectionName(s);
    if (IsSafeSectionName(name)) {
      const std::string root = "C:\\game";
      const std::string target = NormalizePath(root + "\\" + name);
      Check(target.size() > root.size() + 1 && target.compare(0, root.size() + 1, root + "\\") == 0);
    }
  }
  return 0;
}
