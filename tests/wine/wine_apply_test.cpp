// nolkpatch.exe under Wine applies a chain made by nolkpack and leaves the same tree as the native
// program; a locked target file brings up the retry-or-cancel box, and retrying once the file is free
// completes the run. Needs the win64 build, a display and Wine; skipped when one is missing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "package/bz_update_helper.h"
#include "package/update_sec.h"
#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"
#include "tests/support/wine_driver.h"
#include "update/version.h"

namespace {

using testsupport::Env;
using testsupport::Hex;
using testsupport::Unhex;
using testsupport::WinePath;

bool WaitFor(const std::string& path, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (testsupport::Exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class WineApply : public ::testing::Test {
 protected:
  void SetUp() override {
    winBin_ = Env("NOLK_WIN64_BIN_DIR");
    if (winBin_.empty()) winBin_ = Env("NOLK_SOURCE_DIR") + "/build/win64/bin";
    for (const char* f : {"nolkpatch.exe", "nolkdbghelp.dll", "wine_window_helper.exe", "wine_file_lock.exe"})
      if (!testsupport::Exists(winBin_ + "/" + f)) GTEST_SKIP() << "no " << f << " in " << winBin_;
    if (Env("DISPLAY").empty()) GTEST_SKIP() << "no display";
    if (std::system("command -v wine >/dev/null 2>&1") != 0) GTEST_SKIP() << "no wine";
    server_.SetDefault(testsupport::HttpAnswer::Ok(""));
  }

  void MakeChain(int steps, int files, std::uint32_t seed) {
    std::string error;
    ASSERT_TRUE(testsupport::MakeUpdateChain(tmp_.Path() + "/build", "2.1.14", steps, files, seed, &chain_, &error))
        << error;
    server_.SetAnswer("/list", testsupport::HttpAnswer::Ok(chain_.ListBody()));
  }

  std::string Install(const std::string& name, bool windows) {
    const std::string game = tmp_.Path() + "/" + name;
    testsupport::MakeInstallation(chain_, game, windows ? winBin_ : Env("NOLK_BIN_DIR"), server_.Url("/list"),
                                  server_.Url("/query?"), windows);
    return game;
  }

  testsupport::ProcessOptions WineOptions(const std::string& cwd, std::vector<std::string> args) {
    return testsupport::WineProcess(cwd, args);
  }

  testsupport::TempDir tmp_;
  testsupport::HttpTestServer server_;
  testsupport::UpdateChain chain_;
  std::string winBin_;
};

TEST_F(WineApply, SameTreeAsTheNativeProgram) {
  MakeChain(3, 80, 11);
  const std::string native = Install("native", false);
  auto nr = testsupport::RunProcess(testsupport::ProgramOptions(native, tmp_.Path()));
  ASSERT_EQ(nr.exitCode, 0) << nr.err;

  const std::string wine = Install("wine", true);
  auto wr = testsupport::RunProcess(WineOptions(wine + "/bin/patch", {"nolkpatch.exe"}));
  EXPECT_EQ(wr.exitCode, 0) << wr.err;
  EXPECT_EQ(testsupport::CompareTrees(chain_.trees[3], wine, testsupport::InstallationOnly),
            std::vector<std::string>());
  EXPECT_EQ(testsupport::CompareTrees(native, wine, testsupport::InstallationOnly), std::vector<std::string>());
  int queries = 0;
  for (const auto& q : server_.Requests()) queries += q.target.compare(0, 7, "/query?") == 0;
  EXPECT_EQ(queries, 6);  // one report per package, for each of the two runs
}

TEST_F(WineApply, LockedTargetAsksAndRetryCompletesTheRun) {
  MakeChain(1, 40, 12);
  const std::string game = Install("game", true);
  // A file the package changes in place.
  std::string target;
  {
    BzUpdateHelper reader;
    ASSERT_TRUE(reader.Open(ParseVersionCode("2.1.15"), "p", chain_.packages[0]));
    while (const unsigned char* s = reader.ReadSection())
      if (SectionKind(s) == kSectionModi && target.empty()) target = SectionName(s);
  }
  ASSERT_FALSE(target.empty()) << "the package has no MODI record";

  const std::string ready = tmp_.Path() + "/locked", release = tmp_.Path() + "/release";
  testsupport::ChildProcess locker(WineOptions(
      tmp_.Path(), {winBin_ + "/wine_file_lock.exe", "lock", WinePath(game + "/" + platform::HostPath(target)),
                    WinePath(ready), WinePath(release)}));
  ASSERT_TRUE(WaitFor(ready, 30000)) << "the file could not be locked";

  testsupport::ChildProcess run(WineOptions(game + "/bin/patch", {"nolkpatch.exe"}));
  const std::string boxFile = tmp_.Path() + "/box";
  auto box = testsupport::RunProcess(
      WineOptions(tmp_.Path(), {winBin_ + "/wine_file_lock.exe", "waitbox", "60000", WinePath(boxFile)}));
  ASSERT_EQ(box.exitCode, 0) << "no box appeared";
  std::string hex;
  testsupport::ReadFile(boxFile, &hex);
  const std::string text = Unhex(hex);
  EXPECT_EQ(text.rfind("打开要更新的文件[", 0), 0u) << platform::GbkToUtf8(text);
  EXPECT_NE(text.find(target + "]失败!错误码：11 32\n请确认更新时游戏不在运行。"), std::string::npos)
      << platform::GbkToUtf8(text);

  // While the box is up the window shows the package being applied; keep a picture of it.
  const std::string controls = tmp_.Path() + "/controls";
  testsupport::RunProcess(WineOptions(
      tmp_.Path(), {winBin_ + "/wine_window_helper.exe", "restore", Hex("《Nolk2》更新程序"), WinePath(controls)}));
  std::string listing;
  testsupport::ReadFile(controls, &listing);
  EXPECT_NE(listing.find("1002 "), std::string::npos);
  EXPECT_NE(listing.find(Hex(chain_.PackageName(0))), std::string::npos) << "package label not shown";
  const std::string artifacts = Env("NOLK_SOURCE_DIR") + "/build/test-artifacts";
  testsupport::MakeDirs(artifacts);
  std::system(("import -window root -display " + Env("DISPLAY") + " '" + artifacts + "/wine-apply-retry.png'").c_str());

  // Free the file, then answer retry: after its wait the program opens it and goes on.
  testsupport::WriteFile(release, "");
  locker.Wait();
  testsupport::RunProcess(
      WineOptions(tmp_.Path(), {winBin_ + "/wine_window_helper.exe", "box", "retry", "10000", WinePath(boxFile)}));
  auto r = run.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testsupport::CompareTrees(chain_.trees[1], game, testsupport::InstallationOnly),
            std::vector<std::string>());
}

// A package that changes the running nolkpatch.exe and its library, as MODI and as ADDF: the run ends
// like any other, and the next start runs the new program (its string table names another list key)
// and leaves nothing else in its folder.
TEST_F(WineApply, TheProgramUpdatesItsOwnRunningFiles) {
  std::string exe, dll, newExe;
  ASSERT_TRUE(testsupport::ReadFile(winBin_ + "/nolkpatch.exe", &exe));
  ASSERT_TRUE(testsupport::ReadFile(winBin_ + "/nolkdbghelp.dll", &dll));
  const std::string patched = tmp_.Path() + "/new.exe";
  testsupport::WriteFile(patched, exe);
  auto set = WineOptions(tmp_.Path(), {winBin_ + "/wine_file_lock.exe", "setstring", WinePath(patched), "110", "NewKey"});
  ASSERT_TRUE(testsupport::RunProcess(set).exitCode == 0 && testsupport::ReadFile(patched, &newExe) && newExe != exe);
  const std::vector<testsupport::FileChange> changes = {{"nolkpatch.exe", exe, newExe},
                                                        {"nolkdbghelp.dll", dll, dll + "a longer library"}};
  for (bool modi : {true, false}) {
    SCOPED_TRACE(modi ? "MODI" : "ADDF");
    const std::string game = tmp_.Path() + (modi ? "/modi" : "/addf");
    const std::string list =
        testsupport::MakeSelfUpdate(game, changes, modi, server_.Url("/list"), server_.Url("/query?"));
    const std::string newList = modi ? "/newlist-modi" : "/newlist-addf";
    testsupport::WriteFile(game + "/var/gac/Url.ini",
                           testsupport::UrlIniText(server_.Url("/list"), server_.Url("/query?")) +
                               "NewKey=" + server_.Url(newList) + "\r\n");
    server_.SetAnswer("/list", testsupport::HttpAnswer::Ok(list));
    server_.SetAnswer(newList, testsupport::HttpAnswer::Ok(list));
    std::vector<std::size_t> asked;  // for the new program's list: before each start, and at the end
    testsupport::CheckSelfUpdate(game, changes, [&] {
      asked.push_back(server_.TargetsStartingWith(newList).size());
      auto r = testsupport::RunProcess(WineOptions(game + "/bin/patch", {"nolkpatch.exe"}));
      testsupport::WaitForPendingProgram(game + "/bin/patch");
      return r;
    });
    asked.push_back(server_.TargetsStartingWith(newList).size());
    EXPECT_EQ(asked, (std::vector<std::size_t>{0, 0, 1}));
  }
}

}  // namespace
