// Writing sections into the installation: ADDF and MODI, the retry-or-cancel loop, the software
// rule, and records that must not touch anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "package/update_sec.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "tests/support/package_bytes.h"
#include "tests/support/sections_fixture.h"
#include "tests/support/test_files.h"

using testsupport::Record;
const auto PatchRun = testsupport::Run;

namespace {

using Sections = testsupport::SectionsTest;

const std::string kAddfText =
    "]失败!\n请确认更新时游戏不在运行。\n也有可能后台有病毒扫描程序正在工作，可以稍等片刻再重试。\n";

TEST_F(Sections, AddfWritesWholeFilesAndMakesFolders) {
  ASSERT_TRUE(Apply(Record("FDDA", 0, "data/new/sub/a.dat", "payload")));
  EXPECT_EQ(Read("data/new/sub/a.dat"), "payload");

  testsupport::WriteFile(root_ + "data/long.dat", std::string(1000, 'L'));
  ASSERT_TRUE(Apply(Record("FDDA", 12345, "data/long.dat", "short")));
  EXPECT_EQ(Read("data/long.dat"), "short");
  ASSERT_TRUE(Apply(Record("FDDA", 0, "data/long.dat", "")));
  EXPECT_EQ(Read("data/long.dat"), "");

  // Read-only targets are replaced; the attribute goes.
  testsupport::WriteFile(root_ + "data/ro.dat", "old");
  ASSERT_TRUE(platform::SetFileReadOnly(root_ + "data/ro.dat"));
  ASSERT_TRUE(Apply(Record("FDDA", 0, "data/ro.dat", "new")));
  EXPECT_EQ(Read("data/ro.dat"), "new");
  EXPECT_FALSE(platform::IsFileReadOnly(root_ + "data/ro.dat"));

  // GBK names.
  ASSERT_TRUE(Apply(Record("FDDA", 0, "data/更新/文件.dat", "gbk")));
  EXPECT_EQ(platform::GetPathKind(root_ + "data/更新/文件.dat"), platform::PathKind::kFile);

  EXPECT_TRUE(boxes_.empty());
  // Nothing is left beside the targets.
  std::vector<std::string> names = Entries("data");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"long.dat", "new", "ro.dat", "更新"}));
}

TEST_F(Sections, ModiWritesRunsAndSetsTheLength) {
  const std::string original = "0123456789abcdefghij";
  testsupport::WriteFile(root_ + "data/m.dat", original);
  const std::string rec = Record("IDOM", 20, "data/m.dat", PatchRun(10, "XYZ") + PatchRun(0, "PQ"));
  ASSERT_TRUE(Apply(rec));
  EXPECT_EQ(Read("data/m.dat"), "0123456789XYZPQfghij");
  // Again: the same file.
  ASSERT_TRUE(Apply(rec));
  EXPECT_EQ(Read("data/m.dat"), "0123456789XYZPQfghij");

  ASSERT_TRUE(Apply(Record("IDOM", 4, "data/m.dat", "")));
  EXPECT_EQ(Read("data/m.dat"), "0123");
  // Runs beyond the end, and a length that extends with zero bytes.
  ASSERT_TRUE(Apply(Record("IDOM", 12, "data/m.dat", PatchRun(6, "ab"))));
  EXPECT_EQ(Read("data/m.dat"), std::string("0123\0\0ab\0\0\0\0", 12));
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(Sections, ModiOnAMissingFileAsksAndCancelStops) {
  EXPECT_FALSE(Apply(Record("IDOM", 1, "data/missing.dat", PatchRun(0, "x"))));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].style & platform::kMbTypeMask, static_cast<unsigned>(platform::kMbRetryCancel));
  EXPECT_EQ(boxes_[0].text, "打开要更新的文件[" + root_ +
                                "data/missing.dat]失败!错误码：2 2\n请确认更新时游戏不在运行。\n"
                                "也有可能后台有病毒扫描程序正在工作，可以稍等片刻再重试。\n");
  EXPECT_EQ(platform::GetPathKind(root_ + "data/missing.dat"), platform::PathKind::kNone);

  // A missing folder is a bad path.
  boxes_.clear();
  EXPECT_FALSE(Apply(Record("IDOM", 1, "nofolder/x.dat", "")));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].text.find("错误码：3 3"), std::string::npos);
}

TEST_F(Sections, SoftwareRule) {
  testsupport::MakeDirs(root_ + "bin/software/ZorIzedod");
  testsupport::WriteFile(root_ + "bin/software/tool.exe", "in use");
  testsupport::WriteFile(root_ + "bin/software/ZorIzedod/z.exe", "in use");
  platform::CFile holder, holderZ;
  ASSERT_TRUE(holder.Open(root_ + "bin/software/tool.exe", platform::CFile::modeWrite));
  ASSERT_TRUE(holderZ.Open(root_ + "bin/software/ZorIzedod/z.exe", platform::CFile::modeWrite));
  const std::string rec = Record("IDOM", 6, "bin/software/tool.exe", PatchRun(0, "new"));
  const std::string recZ = Record("IDOM", 6, "bin/software/ZorIzedod/z.exe", PatchRun(0, "new"));

  // Without data/micro_client.ini the box comes; its codes say the file is shared.
  EXPECT_FALSE(Apply(rec));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].text.find("错误码：11 32"), std::string::npos) << boxes_[0].text;

  // With it, writable: passed over silently.
  testsupport::WriteFile(root_ + "data/micro_client.ini", "x");
  boxes_.clear();
  EXPECT_TRUE(Apply(rec));
  EXPECT_TRUE(boxes_.empty());
  holder.Abort();
  EXPECT_EQ(Read("bin/software/tool.exe"), "in use");

  // ZorIzedod in the path always asks.
  EXPECT_FALSE(Apply(recZ));
  EXPECT_EQ(boxes_.size(), 1u);

  // micro_client.ini locked: the probe fails and the box comes.
  ASSERT_TRUE(holder.Open(root_ + "bin/software/tool.exe", platform::CFile::modeWrite));
  platform::CFile probeHolder;
  ASSERT_TRUE(probeHolder.Open(root_ + "data/micro_client.ini", platform::CFile::modeWrite));
  boxes_.clear();
  EXPECT_FALSE(Apply(rec));
  EXPECT_EQ(boxes_.size(), 1u);
}

TEST_F(Sections, RetryWaitsAndThenWrites) {
  testsupport::WriteFile(root_ + "data/busy.dat", "aaaa");
  auto holder = std::make_unique<platform::CFile>();
  ASSERT_TRUE(holder->Open(root_ + "data/busy.dat", platform::CFile::modeWrite));
  answers_ = {platform::kIdRetry};
  onBox_ = [&] { holder.reset(); };  // the game closes the file while the box is up
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Apply(Record("IDOM", 4, "data/busy.dat", PatchRun(1, "bb"))));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 4900);
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(Read("data/busy.dat"), "abba");
}

TEST_F(Sections, AddfOnALockedTargetAsksAndLeavesIt) {
  testsupport::WriteFile(root_ + "data/held.dat", "old content");
  platform::CFile holder;
  ASSERT_TRUE(holder.Open(root_ + "data/held.dat", platform::CFile::modeWrite));
  EXPECT_FALSE(Apply(Record("FDDA", 0, "data/held.dat", "new")));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "增添文件[" + root_ + "data/held.dat" + kAddfText);
  holder.Abort();
  EXPECT_EQ(Read("data/held.dat"), "old content");
  EXPECT_EQ(Entries("data"), std::vector<std::string>{"held.dat"});
}

TEST_F(Sections, InvalidRecordsTouchNothing) {
  testsupport::WriteFile(root_ + "data/ro.dat", "0123456789");
  ASSERT_TRUE(platform::SetFileReadOnly(root_ + "data/ro.dat"));
  testsupport::WriteFile(dir_.Path() + "/outside.dat", "keep");
  const std::vector<std::string> records = {
      Record("XXXX", 0, "data/ro.dat", "evil"),                // kind
      Record("MODI", 0, "data/ro.dat", "evil"),                // kind in the wrong byte order
      Record("FDDA", 0, "", "evil"),                           // empty name
      Record("FDDA", 0, "../outside.dat", "evil"),             // up and out
      Record("FDDA", 0, "data/../../outside.dat", "evil"),     // out through a folder
      Record("FDDA", 0, "data\\..\\..\\outside.dat", "evil"),  // other separator
      Record("FDDA", 0, "data/.. /../outside.dat", "evil"),    // Windows drops trailing blanks
      Record("FDDA", 0, "/tmp/nolk-evil.dat", "evil"),
      Record("FDDA", 0, ".", "evil"),                   // the root itself
      Record("FDDA", 0, "data/", "evil"),               // a folder
      Record("FDDA", 0, "data/ . ", "evil"),            // a folder, as Windows reads it              // absolute
      Record("FDDA", 0, "\\nolk-evil.dat", "evil"),     // absolute, other separator
      Record("FDDA", 0, "C:/nolk-evil.dat", "evil"),    // drive
      Record("FDDA", 0, "C:nolk-evil.dat", "evil"),     // drive-relative
      Record("FDDA", 0, "data/ro.dat:stream", "evil"),  // stream
      Record("IDOM", 10, "data/ro.dat", PatchRun(0, "ab") + "xx"),                             // run head cut short
      Record("IDOM", 10, "data/ro.dat", testsupport::Le32(0) + testsupport::Le32(9) + "abc"),  // bytes overrun
      Record("IDOM", 10, "data/ro.dat", PatchRun(0, "AB") + testsupport::Le32(1) + testsupport::Le32(0xFFFFFFF0u)),
  };
  for (const std::string& r : records) {
    boxes_.clear();
    EXPECT_FALSE(Apply(r)) << r.substr(12);
    ASSERT_EQ(boxes_.size(), 1u) << r.substr(12);
    EXPECT_EQ(boxes_[0].text, "p1.pkg含有不合法的数据节!");
    EXPECT_EQ(boxes_[0].style & platform::kMbIconMask, static_cast<unsigned>(platform::kMbIconError));
  }
  EXPECT_EQ(Read("data/ro.dat"), "0123456789");
  EXPECT_TRUE(platform::IsFileReadOnly(root_ + "data/ro.dat"));
  std::string outside;
  ASSERT_TRUE(testsupport::ReadFile(dir_.Path() + "/outside.dat", &outside));
  EXPECT_EQ(outside, "keep");
  EXPECT_FALSE(testsupport::Exists("/tmp/nolk-evil.dat"));
  EXPECT_EQ(Entries("data"), std::vector<std::string>{"ro.dat"});
}

TEST_F(Sections, WritePatchRunsRefusesOverrunsBeforeWriting) {
  testsupport::WriteFile(root_ + "data/w.dat", "abcdef");
  platform::CFile f;
  ASSERT_TRUE(f.Open(root_ + "data/w.dat", platform::CFile::modeWrite | platform::CFile::shareDenyWrite));
  const std::string bad = PatchRun(0, "XY") + PatchRun(1, "Z").substr(0, 8);
  EXPECT_FALSE(
      WritePatchRuns(f, reinterpret_cast<const unsigned char*>(bad.data()), static_cast<std::uint32_t>(bad.size())));
  const std::string good = PatchRun(0, "XY") + PatchRun(1, "Z");
  EXPECT_TRUE(
      WritePatchRuns(f, reinterpret_cast<const unsigned char*>(good.data()), static_cast<std::uint32_t>(good.size())));
  f.Close();
  EXPECT_EQ(Read("data/w.dat"), "XYcZef");
}

}  // namespace
