// Whole runs of the native nolkpatch through the apply phase: chains of packages made by nolkpack,
// the list on loopback, and the tree afterwards compared byte for byte with the newest game tree.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/package_bytes.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"
#include "update/version.h"

using testsupport::HttpAnswer;
using testsupport::HttpTestServer;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

std::string BinDir() {
  const char* b = std::getenv("NOLK_BIN_DIR");
  return b ? b : "";
}

// The console draws on standard error in the terminal's character set (UTF-8 here).
std::string U(const std::string& gbk) { return platform::GbkToUtf8(gbk); }

std::string GetMd5(const std::string& path) { return testsupport::ReferenceMd5(path); }

std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    start = end + 1;
  }
  return out;
}

class ApplyRun : public ::testing::Test {
 protected:
  void SetUp() override {
    game_ = tmp_.Path() + "/game";
    server_.SetDefault(HttpAnswer::Ok(""));
  }

  // A chain of steps packages from 2.1.14 on, and the installation at 2.1.14 with the list served.
  void MakeChain(int steps, int files = 60, std::uint32_t seed = 7) {
    std::string error;
    ASSERT_TRUE(testsupport::MakeUpdateChain(tmp_.Path() + "/build", "2.1.14", steps, files, seed, &chain_, &error))
        << error;
    testsupport::MakeInstallation(chain_, game_, BinDir(), server_.Url("/package/website/patchlist.txt"),
                                  server_.Url("/query?"));
    ServeList(chain_.ListBody());
  }

  void ServeList(const std::string& body) { server_.SetAnswer("/package/website/patchlist.txt", HttpAnswer::Ok(body)); }

  testsupport::ProcessResult Run() { return testsupport::RunProcess(testsupport::ProgramOptions(game_, tmp_.Path())); }

  std::string Version() {
    std::string ini;
    ReadFile(game_ + "/var/gac/update.ini", &ini);
    std::size_t p = ini.find("Version=");
    return p == std::string::npos ? "" : ini.substr(p + 8, ini.find_first_of("\r\n", p) - p - 8);
  }

  std::vector<std::string> Diffs(std::size_t treeIndex) {
    return testsupport::CompareTrees(chain_.trees[treeIndex], game_, testsupport::InstallationOnly);
  }

  testsupport::TempDir tmp_;
  HttpTestServer server_;
  testsupport::UpdateChain chain_;
  std::string game_;
};

TEST_F(ApplyRun, ChainOfThreeLeavesTheNewestTreeAndReportsProgress) {
  MakeChain(3);
  auto r = Run();
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Diffs(3), std::vector<std::string>());
  EXPECT_EQ(Lines(r.out, "Now Version:"),
            (std::vector<std::string>{"Now Version:2.1.15Process:33", "Now Version:2.1.16Process:66",
                                      "Now Version:2.1.17Process:100"}));
  // Every section is announced on standard output, and nothing else is written there.
  EXPECT_GT(Lines(r.out, "Now Status:解压 ").size(), 10u);
  EXPECT_EQ(Lines(r.out, "").size(), Lines(r.out, "Now Status:解压 ").size() + 3);
  EXPECT_NE(r.err.find(U("下载数据完毕, 正在进行解压...")), std::string::npos);
  // Applied packages stay where they were.
  for (std::size_t i = 0; i < chain_.packages.size(); ++i)
    EXPECT_TRUE(testsupport::Exists(game_ + "/var/gac/" + chain_.PackageName(i)));
}

TEST_F(ApplyRun, FailureInTheSecondPackageKeepsTheFirstAndTouchesNothingElse) {
  MakeChain(3);
  // A package for the wrong version, listed with its true digest: it passes the check, then fails.
  // (nolkpack refuses to make one, so the header of the true package is changed.)
  const std::string bad = game_ + "/var/gac/" + chain_.PackageName(1);
  std::string bytes;
  ASSERT_TRUE(testsupport::ReadFile(chain_.packages[1], &bytes));
  bytes.replace(4, 4, testsupport::Le32(ParseVersionCode("2.1.99")));
  testsupport::WriteFile(bad, bytes);
  chain_.md5s[1] = testsupport::ReferenceMd5(bad);
  ServeList(chain_.ListBody());

  auto r = Run();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Version(), "2.1.15");
  EXPECT_EQ(Lines(r.out, "Now Version:"), std::vector<std::string>{"Now Version:2.1.15Process:33"});
  EXPECT_NE(r.err.find(U(chain_.PackageName(1) + " 版本号不正确!")), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(U("发生错误, 放弃继续更新")), std::string::npos);
  EXPECT_NE(r.err.find(U("关闭中...")), std::string::npos);
  // The first package's content is all there; what it lists as obsolete is not removed yet.
  for (const std::string& d : Diffs(1)) EXPECT_EQ(d.compare(0, 7, "extra: "), 0) << d;
  EXPECT_FALSE(Diffs(1).empty());
  EXPECT_TRUE(testsupport::Exists(bad));
}

TEST_F(ApplyRun, PackageChangedSinceItsCheckIsDeletedAndStopsTheRun) {
  // The first package overwrites the second one's file, so its digest no longer matches when the
  // apply phase looks at it again.
  MakeChain(2);
  const std::string victim = "var/gac/" + chain_.PackageName(1);
  WriteFile(chain_.trees[1] + "/" + victim, "not the package any more");
  std::string md5, error;
  ASSERT_TRUE(testsupport::BuildChainPackage(chain_.trees[0], chain_.trees[1], "2.1.15",
                                             game_ + "/var/gac/" + chain_.PackageName(0), &md5, &error));
  chain_.md5s[0] = md5;
  ServeList(chain_.ListBody());

  auto r = Run();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(testsupport::Exists(game_ + "/" + victim));
  EXPECT_NE(r.err.find(U("经验证，发现下载的" + chain_.PackageName(1) + "更新包与官方提供的更新包不一致")),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Version(), "2.1.15");
}

TEST_F(ApplyRun, UpperCaseDigestPassesTheSecondCheckOnly) {
  MakeChain(1);
  // The package step compares exactly, so an upper-case digest stops the run before the apply phase.
  std::string body = chain_.ListBody();
  for (char& c : body)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  ServeList(body);
  auto r = Run();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Version(), "2.1.14");
  EXPECT_EQ(Lines(r.out, "Now Version:").size(), 0u);
}

TEST_F(ApplyRun, TailOnlyPackageCountsAsAppliedAndMissingTailFails) {
  MakeChain(1);
  const std::uint32_t v15 = ParseVersionCode("2.1.15");
  const std::uint32_t v16 = ParseVersionCode("2.1.16");
  // 2.1.15: a body of a one-byte tail only. 2.1.16: one record and no tail after it.
  WriteFile(game_ + "/var/gac/tail.pkg", testsupport::PackageBytes(v15, std::string(1, '\0')));
  WriteFile(game_ + "/var/gac/notail.pkg",
            testsupport::PackageBytes(v16, testsupport::Record("FDDA", 0, "data/notail.txt", "written")));
  std::string list;
  for (const char* name : {"tail.pkg", "notail.pkg"}) {
    const std::string md5 = GetMd5(game_ + "/var/gac/" + name);
    list += std::string(name[0] == 't' ? "2.1.15" : "2.1.16") + " http://127.0.0.1/p/" + name + " " + md5 + "\n";
  }
  ServeList(list);
  auto r = Run();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.out, "Now Version:"), std::vector<std::string>{"Now Version:2.1.15Process:50"});
  std::string written;
  EXPECT_TRUE(ReadFile(game_ + "/data/notail.txt", &written));
  EXPECT_EQ(written, "written");
  EXPECT_NE(r.err.find(U("读取UpdateSec头出错")), std::string::npos) << r.err;
  EXPECT_EQ(Version(), "2.1.14");
}

// A record's data are not held whole: the run's peak memory with a 48 MiB file (or a 32 MiB MODI) is within a few
// MiB of the same run with an 8 MiB file (the sanitizer keeps no freed memory in quarantine here). A body that breaks inside a large file's data shows the
// reader's text and leaves the old file as it was, with no temporary file beside it.
TEST_F(ApplyRun, LargeRecordsDoNotGrowMemoryAndABrokenOneLeavesTheOldFile) {
  MakeChain(1);
  const std::uint32_t v15 = ParseVersionCode("2.1.15");
  auto runWith = [&](std::uint32_t mib, bool cut, testsupport::ProcessResult* result, bool modi = false) {
    // Text-like, so that the debug build decodes it quickly.
    std::string big;
    big.reserve(static_cast<std::size_t>(mib) << 20);
    std::uint32_t x = mib;
    while (big.size() < (static_cast<std::size_t>(mib) << 20)) {
      x = x * 1103515245u + 12345u;
      big += "abcdefgh"[(x >> 16) % 8];
      if ((x >> 24) % 16 == 0) big += std::to_string(big.size());
    }
    big.resize(static_cast<std::size_t>(mib) << 20);
    std::string body = (modi ? testsupport::Record("IDOM", static_cast<std::uint32_t>(big.size()), "data/big.dat",
                                                   testsupport::Run(0, big))
                             : testsupport::Record("FDDA", 0, "data/big.dat", big)) +
                       "t";
    std::string pkg = testsupport::PackageBytes(v15, body);
    if (cut) pkg.resize(pkg.size() / 2);
    WriteFile(game_ + "/var/gac/big.pkg", pkg);
    ServeList("2.1.15 http://127.0.0.1/p/big.pkg " + GetMd5(game_ + "/var/gac/big.pkg") + "\n");
    testsupport::ProcessOptions o = testsupport::ProgramOptions(game_, tmp_.Path());
    const char* asan = std::getenv("ASAN_OPTIONS");
    o.env.push_back({"ASAN_OPTIONS", std::string(asan ? asan : "") + ":quarantine_size_mb=0"});
    *result = testsupport::RunProcess(o);
    return big;
  };
  testsupport::ProcessResult small, large, broken;
  runWith(8, false, &small);
  EXPECT_EQ(small.exitCode, 0) << small.err;
  const std::string content = runWith(48, false, &large);
  EXPECT_EQ(large.exitCode, 0) << large.err;
  std::string written;
  ASSERT_TRUE(ReadFile(game_ + "/data/big.dat", &written));
  EXPECT_TRUE(written == content) << written.size();
  EXPECT_LT(large.maxRssKib - small.maxRssKib, 16 * 1024) << small.maxRssKib << " KiB against " << large.maxRssKib;

  runWith(48, true, &broken);
  EXPECT_EQ(broken.exitCode, 1);
  EXPECT_NE(broken.err.find(U("读取UpdateSec Data出错")), std::string::npos) << broken.err;
  std::string after;
  ASSERT_TRUE(ReadFile(game_ + "/data/big.dat", &after));
  EXPECT_TRUE(after == content);
  EXPECT_FALSE(testsupport::Exists(game_ + "/data/~nolk.tmp"));

  // Nor are a MODI record's: its runs are applied from a spool.
  testsupport::ProcessResult modi;
  const std::string changed = runWith(32, false, &modi, true);
  EXPECT_EQ(modi.exitCode, 0) << modi.err;
  ASSERT_TRUE(ReadFile(game_ + "/data/big.dat", &after));
  EXPECT_TRUE(after == changed) << after.size();
  EXPECT_LT(modi.maxRssKib - small.maxRssKib, 16 * 1024) << small.maxRssKib << " KiB against " << modi.maxRssKib;
}

TEST_F(ApplyRun, FullDiskEndsTheRunWithItsTextsAndNoTornFile) {
  // The installation on a small file system of its own; the program, its library and the package
  // stay outside and are reached through links.
  const std::string small = tmp_.Path() + "/small";
  testsupport::MakeDirs(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};

  const std::string game = small + "/game";
  testsupport::MakeBareInstallation(game, "2.1.14", server_.Url("/package/website/patchlist.txt"),
                                    server_.Url("/query?"));
  testsupport::MakeDirs(game + "/data");
  ASSERT_EQ(symlink((BinDir() + "/nolkpatch").c_str(), (game + "/bin/patch/nolkpatch").c_str()), 0);
  ASSERT_EQ(symlink((BinDir() + "/nolkdbghelp.dll").c_str(), (game + "/bin/patch/nolkdbghelp.dll").c_str()), 0);
  WriteFile(game + "/data/big.dat", "old content");

  // One file that cannot fit, over a file that must survive whole.
  std::string body = testsupport::Record("FDDA", 0, "data/big.dat", testsupport::RandomBytes(3u << 20, 5));
  body += std::string(1, '\0');
  const std::string pkg = tmp_.Path() + "/big.pkg";
  WriteFile(pkg, testsupport::PackageBytes(ParseVersionCode("2.1.15"), body));
  ASSERT_EQ(symlink(pkg.c_str(), (game + "/var/gac/big.pkg").c_str()), 0);
  ServeList("2.1.15 http://127.0.0.1/p/big.pkg " + GetMd5(pkg) + "\n");

  auto r = testsupport::RunProcess(testsupport::ProgramOptions(game, tmp_.Path()));
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find(U("更新中发生错误!")), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(U("关闭中...")), std::string::npos);
  EXPECT_NE(r.err.find(U("发生错误, 放弃继续更新")), std::string::npos);
  std::string old;
  EXPECT_TRUE(ReadFile(game + "/data/big.dat", &old));
  EXPECT_EQ(old, "old content");
  EXPECT_EQ(Lines(r.out, "Now Version:").size(), 0u);
}

// The running program and its library changed by MODI and by ADDF: the next start runs the new
// program (its window title changed) and removes what the update set aside.
TEST_F(ApplyRun, TheProgramUpdatesItsOwnRunningFiles) {
  const std::string oldTitle = "《Nolk2》更新程序", newTitle = "《Nolk3》更新程序";
  std::string exe, dll;
  ASSERT_TRUE(ReadFile(BinDir() + "/nolkpatch", &exe) && ReadFile(BinDir() + "/nolkdbghelp.dll", &dll));
  const std::size_t at = exe.find(oldTitle);
  ASSERT_TRUE(at != std::string::npos && exe.find(oldTitle, at + 1) == std::string::npos);
  const std::vector<testsupport::FileChange> changes = {
      {"nolkpatch", exe, exe.substr(0, at) + newTitle + exe.substr(at + newTitle.size())},
      {"nolkdbghelp.dll", dll, dll + "a longer library"}};
  for (bool modi : {true, false}) {
    SCOPED_TRACE(modi ? "MODI" : "ADDF");
    game_ = tmp_.Path() + (modi ? "/modi" : "/addf");
    ServeList(testsupport::MakeSelfUpdate(game_, changes, modi, server_.Url("/package/website/patchlist.txt"),
                                          server_.Url("/query?")));
    ASSERT_EQ(std::system(("chmod 0755 '" + game_ + "/bin/patch/nolkpatch'").c_str()), 0);
    const auto runs = testsupport::CheckSelfUpdate(game_, changes, [this] { return Run(); });
    EXPECT_EQ(runs[0].err.find(U(newTitle)), std::string::npos);
    EXPECT_NE(runs[1].err.find(U(newTitle)), std::string::npos) << runs[1].err;
  }
}

}  // namespace
