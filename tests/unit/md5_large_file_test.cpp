// GetFileMD5 over files of several 10 MiB pieces and one byte more or less, against md5sum.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "tests/support/test_files.h"

namespace {

#ifndef _WIN32
std::string Md5sum(const std::string& path) {
  std::string out;
  if (std::FILE* p = popen(("md5sum '" + path + "'").c_str(), "r")) {
    char buf[128] = {0};
    if (std::fgets(buf, sizeof buf, p)) out.assign(buf, 32);
    pclose(p);
  }
  return out;
}

TEST(LargeFileDigest, PiecesAndPiecesPlusOneAgreeWithMd5sum) {
  if (std::system("command -v md5sum >/dev/null 2>&1") != 0) GTEST_SKIP() << "no md5sum";
  const std::uint64_t piece = 10485760;
  testsupport::TempDir dir;
  const std::string path = dir.Path() + "/big.bin";
  std::uint32_t seed = 1;
  for (std::uint64_t size : {piece - 1, piece, piece + 1, 3 * piece, 3 * piece + 1, 2 * piece + 12345}) {
    testsupport::WriteRandomFile(path, size, seed++);
    const std::string expected = Md5sum(path);
    ASSERT_EQ(expected.size(), 32u);
    EXPECT_EQ(std::string(GetFileMD5(path, static_cast<std::uint32_t>(piece))), expected) << size << " bytes";
  }
}
#endif

}  // namespace
