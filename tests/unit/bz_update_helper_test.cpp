// The package reader: header checks, every failure text, and the end-of-body rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "package/bz_update_helper.h"
#include "package/update_sec.h"
#include "tests/support/package_bytes.h"
#include "tests/support/test_files.h"

using testsupport::PackageBytes;
using testsupport::Record;

namespace {

const std::uint32_t kVersion = 0x0201000F;  // 2.1.15

struct Read {
  std::vector<std::string> records;  // whole records as handed out
  bool ended = false;
  std::string error;
};

class Reader : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes) {
    std::string path = dir_.Path() + "/p" + std::to_string(++count_) + ".pkg";
    testsupport::WriteFile(path, bytes);
    return path;
  }
  bool OpenFails(const std::string& bytes, std::string* text, std::uint32_t version = kVersion) {
    BzUpdateHelper r;
    bool ok = r.Open(version, "p.pkg", Write(bytes));
    *text = r.GetErrorText();
    return !ok;
  }
  // threads 0: the reader as the program makes it (one decoding thread per core).
  Read ReadAll(const std::string& bytes, int threads = 0) {
    Read out;
    std::unique_ptr<BzUpdateHelper> made(threads ? new BzUpdateHelper(threads) : new BzUpdateHelper());
    BzUpdateHelper& r = *made;
    if (!r.Open(kVersion, "p.pkg", Write(bytes))) {
      out.error = "open: " + r.GetErrorText();
      return out;
    }
    for (int guard = 0; guard < 100000; ++guard) {
      const unsigned char* s = r.ReadSection();
      if (r.IsEnd()) {
        out.ended = true;
        EXPECT_EQ(s, nullptr);
        return out;
      }
      if (!s) {
        out.error = r.GetErrorText();
        return out;
      }
      std::uint32_t n = SectionNameLength(s);
      std::uint32_t d = ReadLe32(s + 12 + n);
      out.records.emplace_back(reinterpret_cast<const char*>(s), 16 + n + d);
    }
    ADD_FAILURE() << "no end";
    return out;
  }

  testsupport::TempDir dir_;
  int count_ = 0;
};

const std::string kA = Record("FDDA", 0, "data/a.dat", "alpha");
const std::string kB = Record("IDOM", 7, "data/b.dat", testsupport::Run(2, "xy"));

TEST_F(Reader, HeaderFailures) {
  std::string text;
  BzUpdateHelper missing;
  EXPECT_FALSE(missing.Open(kVersion, "gone.pkg", dir_.Path() + "/gone.pkg"));
  EXPECT_EQ(missing.GetErrorText(), "打开更新数据文件[gone.pkg]失败!\n请确认更新时游戏不在运行。");

  EXPECT_TRUE(OpenFails("ZBNR\x0f\0\x01\x02\0\0\0", &text));  // 11 bytes
  EXPECT_EQ(text, "读取 p.pkg 文件头信息失败");

  std::string valid = PackageBytes(kVersion, kA + "T");
  std::string badMagic = valid;
  badMagic[3] = 'Z';
  EXPECT_TRUE(OpenFails(badMagic, &text));
  EXPECT_EQ(text, "p.pkg 不是合法的更新文件");

  // Any bit of the version counts, the patch number included.
  EXPECT_TRUE(OpenFails(valid, &text, kVersion + 1));
  EXPECT_EQ(text, "p.pkg 版本号不正确!");
  EXPECT_TRUE(OpenFails(valid, &text, kVersion ^ 0x01000000));
  EXPECT_EQ(text, "p.pkg 版本号不正确!");

  // The reserved word is never looked at.
  Read r = ReadAll(PackageBytes(kVersion, kA + "T", 0xDEADBEEF));
  EXPECT_TRUE(r.ended);
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.records[0], kA);
}

TEST_F(Reader, TailsEndTheBody) {
  for (std::size_t tail : {1u, 5u, 13u}) {
    Read r = ReadAll(PackageBytes(kVersion, kA + kB + std::string(tail, '\x7f')));
    EXPECT_TRUE(r.ended) << tail << ": " << r.error;
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[0], kA);
    EXPECT_EQ(r.records[1], kB);
  }
  // A tail alone, or nothing at all, is a package without sections.
  for (const std::string& body : {std::string("x"), std::string(13, '\0'), std::string()}) {
    Read r = ReadAll(PackageBytes(kVersion, body));
    EXPECT_TRUE(r.ended);
    EXPECT_TRUE(r.records.empty());
  }
}

TEST_F(Reader, MissingTailFailsAfterTheLastRecord) {
  Read r = ReadAll(PackageBytes(kVersion, kA + kB));
  EXPECT_FALSE(r.ended);
  EXPECT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.error, "读取UpdateSec头出错");

  // D = 0 and no tail: the stream ends inside the length read.
  const std::string empty = Record("FDDA", 0, "e.dat", "");
  r = ReadAll(PackageBytes(kVersion, kA + empty));
  EXPECT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.error, "读取UpdateSec 长度出错");
  r = ReadAll(PackageBytes(kVersion, kA + empty + "t"));
  EXPECT_TRUE(r.ended);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.records[1], empty);

  // A tail longer than 13 bytes is read as a further record.
  r = ReadAll(PackageBytes(kVersion, kA + std::string(14, '\0')));
  EXPECT_FALSE(r.ended);
  EXPECT_EQ(r.records.size(), 1u);
}

TEST_F(Reader, TruncatedStreams) {
  const std::string big = Record("FDDA", 0, "data/big.dat", testsupport::RandomBytes(5000, 3));
  // Cut off inside data, inside the name, and inside the header.
  Read r = ReadAll(PackageBytes(kVersion, kA + big.substr(0, 100)));
  EXPECT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.error, "读取UpdateSec Data出错");
  r = ReadAll(PackageBytes(kVersion, kA + big.substr(0, 16)));
  EXPECT_EQ(r.error, "读取UpdateSec 长度出错");
  // Inside the header the end of the stream is a tail: the body is complete.
  r = ReadAll(PackageBytes(kVersion, kA + big.substr(0, 6)));
  EXPECT_TRUE(r.ended);
  EXPECT_EQ(r.records.size(), 1u);

  // A compressed stream cut short, or corrupted, fails on the read that met it.
  // bzip2 decodes whole blocks: a cut in the only block fails the very first read.
  std::string whole = PackageBytes(kVersion, kA + big + "t");
  r = ReadAll(whole.substr(0, whole.size() - 40));
  EXPECT_FALSE(r.ended);
  EXPECT_TRUE(r.records.empty());
  EXPECT_EQ(r.error, "读取UpdateSec头出错");
  // With several blocks, the cut meets the record whose data it is in.
  std::string large = Record("FDDA", 0, "data/l.dat", testsupport::RandomBytes(300000, 4));
  std::string blocks =
      "ZBNR" + testsupport::Le32(kVersion) + testsupport::Le32(0) + testsupport::Bzip2(kA + large + "t", 1);
  r = ReadAll(blocks.substr(0, blocks.size() - 1000));
  EXPECT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.error, "读取UpdateSec Data出错");
  std::string corrupt = whole;
  corrupt[12 + 60] ^= 0x55;
  r = ReadAll(corrupt);
  EXPECT_FALSE(r.ended);
  EXPECT_FALSE(r.error.empty());
  // Not bzip2 at all.
  r = ReadAll(std::string("ZBNR") + testsupport::Le32(kVersion) + testsupport::Le32(0) + "plain text here");
  EXPECT_EQ(r.error, "读取UpdateSec头出错");
}

TEST_F(Reader, LargeRecordsOverSeveralBlocks) {
  // Several bzip2 blocks of 100k: the record comes out whole.
  std::string data = testsupport::RandomBytes(700000, 9);
  std::string rec = Record("FDDA", 0, "data/large.bin", data);
  std::string bytes =
      "ZBNR" + testsupport::Le32(kVersion) + testsupport::Le32(0) + testsupport::Bzip2(rec + kA + "t", 1);
  Read r = ReadAll(bytes);
  EXPECT_TRUE(r.ended) << r.error;
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.records[0], rec);
  EXPECT_EQ(r.records[1], kA);
}

TEST_F(Reader, RecordsOutsideTheLayoutAreRefused) {
  using testsupport::Le32;
  // nameLength 0, and negative.
  Read r = ReadAll(PackageBytes(kVersion, kA + "FDDA" + Le32(0) + Le32(0) + std::string(20, 'x')));
  EXPECT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.error, "读取UpdateSec头出错");
  r = ReadAll(PackageBytes(kVersion, "FDDA" + Le32(0) + Le32(0x80000000u) + std::string(20, 'x')));
  EXPECT_EQ(r.error, "读取UpdateSec头出错");
  // A name without its NUL.
  r = ReadAll(PackageBytes(kVersion, "FDDA" + Le32(0) + Le32(4) + "abcd" + Le32(1) + "z" + "t"));
  EXPECT_EQ(r.error, "读取UpdateSec 长度出错");
  // dataLength negative as a signed count.
  r = ReadAll(PackageBytes(kVersion, "FDDA" + Le32(0) + Le32(2) + std::string("a\0", 2) + Le32(0xFFFFFFF0u) + "tttt"));
  EXPECT_EQ(r.error, "读取UpdateSec 长度出错");
  // Lengths that claim far more than the stream holds cost nothing and fail on their read.
  r = ReadAll(PackageBytes(kVersion, "FDDA" + Le32(0) + Le32(0x7FFFFFF0u) + "abc"));
  EXPECT_EQ(r.error, "读取UpdateSec 长度出错");
  r = ReadAll(PackageBytes(kVersion, "FDDA" + Le32(0) + Le32(2) + std::string("a\0", 2) + Le32(0x7FFFFFFFu) + "abc"));
  EXPECT_EQ(r.error, "读取UpdateSec Data出错");
}

// Made with the bzip2 command from a record stream written by hand:
//   printf 'FDDA\0\0\0\0\x0b\0\0\0data/h.txt\0\x06\0\0\0handmdIDOM\x05\0\0\0\x06\0\0\0h.bin\0'
//   printf '\x0a\0\0\0\x01\0\0\0\x02\0\0\0zzT'   (both into one pipe to bzip2 -9)
// then "ZBNR", 1.2.3 and a reserved word in front.
TEST_F(Reader, ReadsAPackageMadeByTheBzip2Command) {
  std::string bytes;
  ASSERT_TRUE(
      testsupport::ReadFile(std::string(std::getenv("NOLK_SOURCE_DIR")) + "/tests/unit/data/handmade.pkg", &bytes));
  BzUpdateHelper r;
  ASSERT_TRUE(r.Open(0x01020003, "handmade.pkg", Write(bytes))) << r.GetErrorText();
  const unsigned char* s = r.ReadSection();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SectionKind(s), kSectionAddf);
  EXPECT_STREQ(SectionName(s), "data/h.txt");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(SectionData(s)), SectionDataLength(s)), "handmd");
  s = r.ReadSection();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SectionKind(s), kSectionModi);
  EXPECT_EQ(SectionFileLength(s), 5u);
  EXPECT_STREQ(SectionName(s), "h.bin");
  EXPECT_EQ(SectionDataLength(s), 10u);
  EXPECT_EQ(r.ReadSection(), nullptr);
  EXPECT_TRUE(r.IsEnd());
}

// Packages of random records (every size, with long runs), whole, cut off or with bits flipped:
// the reader decoding on several threads hands out the same records and fails with the same text
// at the same record as the reader on one thread.
TEST_F(Reader, SplitDecodingGivesTheSameRecordsAndFailuresAsOneThread) {
  for (std::uint32_t seed = 1; seed <= 24; ++seed) {
    std::mt19937 rng(seed);
    std::string body;
    const int records = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < records; ++i) {
      std::string data;
      const std::size_t size = rng() % 4 == 0 ? rng() % 400000 : rng() % 3000;
      if (rng() % 3 == 0) {
        data.assign(size, static_cast<char>(rng()));
      } else {
        for (std::size_t k = 0; k < size; ++k) data.push_back(static_cast<char>(rng() % (1 + rng() % 255)));
      }
      body += Record(rng() % 2 ? "FDDA" : "IDOM", static_cast<std::uint32_t>(size), "data/r" + std::to_string(i),
                     data);
    }
    const bool tail = rng() % 4 != 0;
    if (tail) body += std::string(1 + rng() % 13, 't');
    std::string bz = testsupport::Bzip2(body, 1 + static_cast<int>(rng() % 3));
    const int damage = static_cast<int>(seed % 3);
    if (damage == 1) bz.resize(rng() % bz.size());
    if (damage == 2) bz[4 + rng() % (bz.size() - 4)] ^= static_cast<char>(1u << (rng() % 8));
    const std::string bytes = "ZBNR" + testsupport::Le32(kVersion) + testsupport::Le32(0) + bz;
    Read serial = ReadAll(bytes, 1);
    if (damage == 0) {
      EXPECT_EQ(serial.ended, tail) << "seed " << seed << ": " << serial.error;
      EXPECT_EQ(serial.records.size(), static_cast<std::size_t>(records)) << "seed " << seed;
    }
    for (int threads : {2, 3}) {
      Read split = ReadAll(bytes, threads);
      EXPECT_EQ(split.ended, serial.ended) << "seed " << seed << " threads " << threads;
      EXPECT_EQ(split.error, serial.error) << "seed " << seed << " threads " << threads;
      EXPECT_TRUE(split.records == serial.records)
          << "seed " << seed << " threads " << threads << ": " << split.records.size() << " records against "
          << serial.records.size();
    }
  }
}

}  // namespace
