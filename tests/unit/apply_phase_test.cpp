// The apply phase's own paths, driven on a window without its modal loop: an empty list, a digest
// in upper case reaching the second check, a package present but held so it cannot be opened, and
// one that opens but cannot be read for its digest, and the version record held to the end of its package.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#ifndef _WIN32
#include <unistd.h>
#endif
#include <vector>

#include "app/apply_phase.h"
#include "app/nolkpatch_dlg.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/message_box.h"
#include "tests/support/package_bytes.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "update/install_dirs.h"
#include "update/update_list.h"
#include "update/version.h"

namespace {

unsigned IdleWorker(void*) { return 0; }

class ApplyPhase : public ::testing::Test {
 protected:
  void SetUp() override {
    game_ = dir_.Path() + "/game/";
    testsupport::MakeDirs(game_ + "var/gac");
    testsupport::MakeDirs(game_ + "data");
    testsupport::MakeDirs(game_ + "bin/patch");
    SetInstallDirs(platform::Utf8ToGbk(game_ + "bin/patch"), platform::Utf8ToGbk(game_));
    platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
      boxes_.push_back(r.text);
      return static_cast<int>(platform::kIdOk);
    });
    ASSERT_TRUE(dlg_.Create());
    dlg_.PumpMessages();
  }
  void TearDown() override {
    dlg_.DestroyWindow();
    platform::SetMessageBoxHandler(nullptr);
    UpdateList.clear();
  }

  // A package in var/gac holding one ADDF record, listed with digest md5 (its own when empty).
  std::string AddPackage(const std::string& name, const std::string& version, bool upperCase) {
    const std::string path = game_ + "var/gac/" + name;
    const std::string body = testsupport::Record("FDDA", 0, "data/" + name + ".txt", "from " + name) + '\0';
    testsupport::WriteFile(path, testsupport::PackageBytes(ParseVersionCode(version), body));
    std::string md5 = testsupport::ReferenceMd5(path);
    if (upperCase)
      for (char& c : md5)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    UpdateList.push_back({ParseVersionCode(version), "http://127.0.0.1/package/" + name, md5});
    return path;
  }

  testsupport::TempDir dir_;
  std::string game_;
  std::vector<std::string> boxes_;
  CnolkpatchDlg dlg_{IdleWorker};
};

TEST_F(ApplyPhase, AnEmptyListAppliesNothingAndRemovesNothing) {
  testsupport::WriteFile(game_ + "data/old.dat", "obsolete");
  testsupport::WriteFile(game_ + "data/DelFileList.dat", "..\\..\\data\\old.dat\r\n");
  EXPECT_EQ(RunApplyPhase(dlg_), 1);
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "下载数据完毕, 正在进行解压...");
  EXPECT_TRUE(testsupport::Exists(game_ + "data/old.dat"));
  EXPECT_TRUE(boxes_.empty());
  dlg_.PumpMessages();  // the end it posted
  EXPECT_TRUE(dlg_.RunSucceeded());
}

TEST_F(ApplyPhase, AnUpperCaseDigestPassesTheSecondCheck) {
  AddPackage("p1.pkg", "2.1.15", true);
  AddPackage("p2.pkg", "2.1.16", false);
  EXPECT_EQ(RunApplyPhase(dlg_), 1);
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
  std::string text;
  EXPECT_TRUE(testsupport::ReadFile(game_ + "data/p1.pkg.txt", &text));
  EXPECT_EQ(text, "from p1.pkg");
  EXPECT_TRUE(testsupport::ReadFile(game_ + "data/p2.pkg.txt", &text));
  EXPECT_EQ(dlg_.versionLabel.GetWindowText(), "p2.pkg");
}

TEST_F(ApplyPhase, APackageThatCannotBeOpenedStopsTheRunAndStays) {
  const std::string first = AddPackage("p1.pkg", "2.1.15", false);
  const std::string held = AddPackage("p2.pkg", "2.1.16", false);
  // Read by someone else who lets others read it too: the phase's own open shares with nobody.
  platform::CFile holder;
  ASSERT_TRUE(holder.Open(platform::Utf8ToGbk(held), platform::CFile::modeRead | platform::CFile::shareDenyWrite));
  EXPECT_EQ(RunApplyPhase(dlg_), 0);
  holder.Abort();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0],
            "无法打开更新包p2.pkg，请重新启动本程序再尝试一次，\n"
            "若多次重试故障仍然出现，请尝试手动下载该更新包或到官方论坛联系客服人员。");
  EXPECT_TRUE(testsupport::Exists(game_ + "data/p1.pkg.txt"));
  EXPECT_FALSE(testsupport::Exists(game_ + "data/p2.pkg.txt"));
  EXPECT_TRUE(testsupport::Exists(first));
  EXPECT_TRUE(testsupport::Exists(held));
}

// The version record is written last in its package, whatever its place: a package that fails after
// it leaves the old version, and a MODI of it changes the file as in place.
TEST_F(ApplyPhase, TheVersionRecordIsAppliedLastInItsPackage) {
  const std::string ini = "[Setting]\r\nVersion=2.1.14\r\n";
  const struct {
    std::string versionRecord, after;
    int result;
    const char* version;
  } cases[] = {
      {testsupport::Record("FDDA", 0, "var/gac/update.ini", "[Setting]\r\nVersion=2.1.15\r\n"),
       testsupport::Record("FDDA", 0, "data/a.txt", "a"), 1, "[Setting]\r\nVersion=2.1.15\r\n"},
      {testsupport::Record("FDDA", 0, "var/gac/update.ini", "[Setting]\r\nVersion=2.1.15\r\n"),
       testsupport::Record("XXXX", 0, "data/a.txt", "a"), 0, "[Setting]\r\nVersion=2.1.14\r\n"},
      {testsupport::Record("IDOM", 27, "var/gac/update.ini", testsupport::Run(24, "5\r\n")),
       testsupport::Record("FDDA", 0, "data/a.txt", "a"), 1, "[Setting]\r\nVersion=2.1.15\r\n"},
  };
  for (const auto& c : cases) {
    testsupport::WriteFile(game_ + "var/gac/update.ini", ini);
    std::remove((game_ + "data/a.txt").c_str());
    testsupport::WriteFile(game_ + "var/gac/p.pkg",
                           testsupport::PackageBytes(ParseVersionCode("2.1.15"), c.versionRecord + c.after + '\0'));
    UpdateList = {{ParseVersionCode("2.1.15"), "http://127.0.0.1/package/p.pkg",
                   testsupport::ReferenceMd5(game_ + "var/gac/p.pkg")}};
    EXPECT_EQ(RunApplyPhase(dlg_), c.result) << (boxes_.empty() ? "" : boxes_[0]);
    std::string text;
    EXPECT_TRUE(testsupport::ReadFile(game_ + "var/gac/update.ini", &text));
    EXPECT_EQ(text, c.version) << c.versionRecord.substr(12);
    EXPECT_EQ(testsupport::Exists(game_ + "data/a.txt"), c.result == 1);
  }
}

#ifndef _WIN32
TEST_F(ApplyPhase, APackageThatOpensButCannotBeReadEndsLikeAFailedSection) {
  const std::string first = AddPackage("p1.pkg", "2.1.15", false);
  const std::string bad = AddPackage("p2.pkg", "2.1.16", false);
  // A file that opens and then fails its first read (EIO), as a bad sector does: the open check
  // passes and the digester raises.
  ASSERT_EQ(std::remove(bad.c_str()), 0);
  ASSERT_EQ(symlink("/proc/self/mem", bad.c_str()), 0);
  EXPECT_EQ(RunApplyPhase(dlg_), 0);
  ASSERT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(boxes_[0], "md5:文件不存在" + platform::Utf8ToGbk(bad) + ".");
  EXPECT_EQ(boxes_[1], "更新中发生错误!");
  EXPECT_EQ(boxes_[2], "发生错误, 放弃继续更新");
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "关闭中...");
  EXPECT_TRUE(testsupport::Exists(game_ + "data/p1.pkg.txt"));
  EXPECT_FALSE(testsupport::Exists(game_ + "data/p2.pkg.txt"));
  EXPECT_TRUE(testsupport::Exists(first));
}
#endif

}  // namespace
