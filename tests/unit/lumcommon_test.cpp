// The common library: exception, allocation tracker, MD5 digester, timer thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "engine/src/lumcommon/lum_exception.h"
#include "engine/src/lumcommon/lum_new_delete.h"
#include "engine/src/lumcommon/timer/thread_timer.h"
#include "platform/codepage.h"
#include "tests/support/test_files.h"

using LumCommon::LumNewDelete;

namespace {

// Captures what the tracker prints while it lives.
class TrackerCapture {
 public:
  TrackerCapture() : file_(std::tmpfile()) { LumNewDelete::Instance().SetOutput(file_); }
  ~TrackerCapture() {
    LumNewDelete::Instance().SetOutput(stdout);
    std::fclose(file_);
  }
  std::string Text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
    return s;
  }

 private:
  std::FILE* file_;
};

std::string Addr(const void* p) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
  return buf;
}

std::string Md5Of(const std::string& bytes) {
  LumCommon::MD5Context ctx;
  LumCommon::MD5Init(&ctx);
  LumCommon::MD5Update(&ctx, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  unsigned char d[16];
  LumCommon::MD5Final(d, &ctx);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

}  // namespace

TEST(LumException, CarriesWhereItWasRaisedAndPrintsItsMessage) {
  LumCommon::CLumException e("msg text", "src/file", "Jan  1 2026", "10:00:00", "NS::F");
  EXPECT_STREQ(e.what(), "msg text");
  EXPECT_EQ(e.File(), "src/file");
  EXPECT_EQ(e.Function(), "NS::F");
  const std::exception& base = e;
  EXPECT_STREQ(base.what(), "msg text");
}

TEST(LumNewDelete, ArrayFreedAsSingleObjectPrintsBothLines) {
  TrackerCapture cap;
  auto& t = LumNewDelete::Instance();
  unsigned char* block = new unsigned char[8];
  const std::string addr = Addr(block);
  t.TrackNew(block, "unsigned char", 8, 8, "tag", "alloc/file", 17, true);
  t.TrackDelete(block, false, "free/file", 42);
  EXPECT_FALSE(t.FindRecord(block, nullptr));
  delete[] block;
  EXPECT_EQ(cap.Text(), "[LumNewDelete] 用 delete   释放 new[] 申请的内存: " + addr +
                            "  free/file (Ln:42)\n               申请内存的文件 : alloc/file (Ln:17)\n");
}

TEST(LumNewDelete, SingleObjectFreedAsArrayUsesTheOtherLabels) {
  TrackerCapture cap;
  auto& t = LumNewDelete::Instance();
  int* block = new int(3);
  t.TrackNew(block, "int", 1, 4, "tag", "a.cpp", 1, false);
  t.TrackDelete(block, true, "b.cpp", 2);
  delete block;
  EXPECT_NE(cap.Text().find("用 delete[] 释放 new   申请的内存"), std::string::npos);
}

TEST(LumNewDelete, UnknownAddressIsReportedAndChangesNothing) {
  TrackerCapture cap;
  auto& t = LumNewDelete::Instance();
  int stackValue = 0;
  std::size_t before = t.RecordCount();
  t.TrackDelete(&stackValue, true, "x.cpp", 9);
  EXPECT_EQ(cap.Text(), "[LumNewDelete] delete[] 无记录的地址: " + Addr(&stackValue) + "  x.cpp (Ln:9)\n");
  EXPECT_EQ(t.RecordCount(), before);

  // A record that is already gone counts as never tracked.
  char* block = new char[2];
  const std::string addr = Addr(block);
  t.TrackNew(block, "char", 2, 2, "tag", "f", 1, true);
  t.TrackDelete(block, true, "f", 2);
  t.TrackDelete(block, true, "f", 3);
  delete[] block;
  EXPECT_NE(cap.Text().find("delete[] 无记录的地址: " + addr + "  f (Ln:3)"), std::string::npos);
}

TEST(LumNewDelete, MatchingFormsAndRecordReplacementReportNothing) {
  TrackerCapture cap;
  auto& t = LumNewDelete::Instance();
  char* block = new char[4];
  t.TrackNew(block, "char", 4, 4, "first", "f1", 1, false);
  t.TrackNew(block, "char", 4, 4, "second", "f2", 2, true);  // replaces the first record
  LumCommon::AllocationRecord rec{};
  ASSERT_TRUE(t.FindRecord(block, &rec));
  EXPECT_STREQ(rec.tag, "second");
  EXPECT_TRUE(rec.isArray);
  t.TrackDelete(block, true, "f3", 3);  // matches the replacement: silent
  delete[] block;
  EXPECT_EQ(cap.Text(), "");
}

TEST(LumNewDelete, ZeroElementBlocksAreTrackedLikeAnyOther) {
  TrackerCapture cap;
  unsigned char* block = LUM_NEW_ARRAY(unsigned char, 0, "LumCommon/MD5");
  LumCommon::AllocationRecord rec{};
  ASSERT_TRUE(LumNewDelete::Instance().FindRecord(block, &rec));
  EXPECT_EQ(rec.count, 0u);
  EXPECT_EQ(rec.size, 0u);
  EXPECT_STREQ(rec.typeName, "unsigned char");
  const std::size_t live = LumNewDelete::Instance().RecordCount();
  LUM_DELETE_ARRAY(block);
  EXPECT_EQ(LumNewDelete::Instance().RecordCount(), live - 1);
  EXPECT_EQ(cap.Text(), "");
}

TEST(LumNewDelete, ConcurrentUseKeepsTheTableConsistentAndReportsWhole) {
  TrackerCapture cap;
  auto& t = LumNewDelete::Instance();
  std::size_t before = t.RecordCount();
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([k] {
      for (int i = 0; i < 2000; ++i) {
        int* p = LUM_NEW_ARRAY(int, 3, "test");
        if (i % 500 == 0) {
          LumNewDelete::Instance().TrackDelete(p, false, "mismatch", static_cast<std::uint32_t>(k));
          delete[] p;
        } else {
          LUM_DELETE_ARRAY(p);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(t.RecordCount(), before);
  // 4 threads x 4 mismatches, each exactly two lines that stay together.
  std::string text = cap.Text();
  std::size_t lines = 0, pos = 0;
  std::vector<std::string> all;
  while ((pos = text.find('\n')) != std::string::npos) {
    all.push_back(text.substr(0, pos));
    text.erase(0, pos + 1);
    ++lines;
  }
  ASSERT_EQ(lines, 32u);
  for (std::size_t i = 0; i < all.size(); i += 2) {
    EXPECT_EQ(all[i].rfind("[LumNewDelete] 用 delete   释放 new[]", 0), 0u) << all[i];
    EXPECT_EQ(all[i + 1].rfind("               申请内存的文件 : ", 0), 0u) << all[i + 1];
  }
}

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PiecewiseUpdatesEqualOneUpdate) {
  const std::string data = testsupport::RandomBytes(1000, 7);
  for (std::size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 127u, 999u}) {
    LumCommon::MD5Context ctx;
    LumCommon::MD5Init(&ctx);
    LumCommon::MD5Update(&ctx, reinterpret_cast<const unsigned char*>(data.data()), split);
    LumCommon::MD5Update(&ctx, reinterpret_cast<const unsigned char*>(data.data()) + split, data.size() - split);
    unsigned char d[16];
    LumCommon::MD5Final(d, &ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
    EXPECT_EQ(hex, Md5Of(data)) << split;
  }
}

TEST(Md5, FilesAroundTheChunkSize) {
  testsupport::TempDir dir;
  const std::uint32_t chunk = 64;
  for (std::size_t size : {0u, 1u, 63u, 64u, 65u, 128u, 192u, 200u}) {
    const std::string bytes = testsupport::RandomBytes(size, static_cast<std::uint32_t>(size));
    const std::string path = dir.Path() + "/f" + std::to_string(size);
    testsupport::WriteFile(path, bytes);
    const char* text = GetFileMD5(path, chunk);
    EXPECT_EQ(std::string(text), Md5Of(bytes)) << size;
    EXPECT_EQ(std::strlen(text), 32u);
    // The same file with a chunk at least as large as the file: read in one piece.
    EXPECT_EQ(std::string(GetFileMD5(path, 1000)), Md5Of(bytes)) << size;
  }
  EXPECT_EQ(std::string(GetFileMD5(dir.Path() + "/f0", 10485760)), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, MissingFileRaisesAndLeavesTheDigestEmpty) {
  testsupport::TempDir dir;
  const std::string path = dir.Path() + "/missing.bin";
  const std::size_t records = LumNewDelete::Instance().RecordCount();
  try {
    GetFileMD5(path, 10485760);
    FAIL() << "no exception";
  } catch (const LumCommon::CLumException& e) {
    EXPECT_EQ(std::string(e.what()), "md5:文件不存在" + path + ".");
    EXPECT_EQ(e.File(), "engine/src/lumcommon/digester/cmd5");
    EXPECT_EQ(e.Function(), "LumCommon::CMD5::MDFile");
  }
  // No read buffer was allocated, so none is left behind.
  EXPECT_EQ(LumNewDelete::Instance().RecordCount(), records);
}

TEST(Md5, GbkPath) {
  testsupport::TempDir dir;
  const std::string gbkName = "/更新包.dat";
  testsupport::WriteFile(dir.Path() + platform::HostPath(gbkName), "abc");
  EXPECT_STREQ(GetFileMD5(dir.Path() + gbkName, 10485760), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(ThreadTimer, StartFalseCreatesNothing) {
  CThreadTimer timer;
  timer.Start(false);
  EXPECT_EQ(timer.tickEvent, nullptr);
  EXPECT_EQ(timer.stopEvent, nullptr);
  EXPECT_EQ(timer.stoppedEvent, nullptr);
  EXPECT_EQ(timer.thread, nullptr);
}

TEST(ThreadTimer, RunsUntilStoppedAndIsOnePerProcess) {
  CThreadTimer* a = CThreadTimer::Inst();
  EXPECT_EQ(a, CThreadTimer::Inst());
  LumCommon::AllocationRecord rec{};
  ASSERT_TRUE(LumNewDelete::Instance().FindRecord(a, &rec));
  EXPECT_STREQ(rec.typeName, "CThreadTimer");
  EXPECT_STREQ(rec.tag, "CThreadTimer::Inst");

  CThreadTimer timer;
  timer.Start(true);
  EXPECT_NE(timer.thread, nullptr);
  EXPECT_NE(timer.tickEvent, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  timer.Stop();  // returns only once the thread has set its stopped event
  SUCCEED();
}
