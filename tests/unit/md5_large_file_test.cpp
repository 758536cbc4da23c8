// GetFileMD5 over files of several 10 MiB pieces and one byte more or less, against an independent
// digest (md5sum natively, the system's CryptoAPI on Windows).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"

namespace {

TEST(LargeFileDigest, PiecesAndPiecesPlusOneAgreeWithAnIndependentDigest) {
  const std::uint64_t piece = 10485760;
  testsupport::TempDir dir;
  const std::string path = dir.Path() + "/big.bin";
  std::uint32_t seed = 1;
  for (std::uint64_t size : {piece - 1, piece, piece + 1, 3 * piece, 3 * piece + 1, 2 * piece + 12345}) {
    testsupport::WriteRandomFile(path, size, seed++);
    const std::string expected = testsupport::ReferenceMd5(path);
    ASSERT_EQ(expected.size(), 32u);
    EXPECT_EQ(std::string(GetFileMD5(path, static_cast<std::uint32_t>(piece))), expected) << size << " bytes";
  }
}

}  // namespace
