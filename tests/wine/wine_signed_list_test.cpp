// nolkpatch.exe under Wine with signed update lists: a chain whose list is signed with the key embedded
// in the exe's string table is applied; a forged list is refused with its box and writes nothing. Keys and
// signatures come from the real minisign. Needs the win64 build, a display and Wine; skipped without.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/minisign_tool.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"
#include "tests/support/wine_driver.h"

namespace {

using testsupport::Env;
using testsupport::WinePath;

class WineSignedList : public ::testing::Test {
 protected:
  void SetUp() override {
    winBin_ = Env("NOLK_WIN64_BIN_DIR");
    if (winBin_.empty()) winBin_ = Env("NOLK_SOURCE_DIR") + "/build/win64/bin";
    for (const char* f : {"nolkpatch.exe", "nolkdbghelp.dll", "wine_window_helper.exe", "wine_file_lock.exe"})
      if (!testsupport::Exists(winBin_ + "/" + f)) GTEST_SKIP() << "no " << f << " in " << winBin_;
    if (Env("DISPLAY").empty()) GTEST_SKIP() << "no display";
    if (std::system("command -v wine >/dev/null 2>&1") != 0) GTEST_SKIP() << "no wine";
    server_.SetDefault(testsupport::HttpAnswer::Ok(""));
    key_ = testsupport::MakeMinisignKey(tmp_.Path(), "operator");
    std::string error;
    ASSERT_TRUE(testsupport::MakeUpdateChain(tmp_.Path() + "/build", "2.1.14", 2, 30, 19, &chain_, &error)) << error;
    game_ = tmp_.Path() + "/game";
    testsupport::MakeInstallation(chain_, game_, winBin_, server_.Url("/list"), server_.Url("/query?"), true);
  }
  // Serves list at /list with the operator's signature of signedText.
  void Serve(const std::string& list, const std::string& signedText) {
    server_.SetAnswer("/list", testsupport::HttpAnswer::Ok(list));
    server_.SetAnswer("/list.minisig", testsupport::HttpAnswer::Ok(testsupport::MinisignSign(key_, signedText)));
  }
  testsupport::ProcessResult Tool(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<std::string> all = {winBin_ + "/" + exe};
    all.insert(all.end(), args.begin(), args.end());
    return testsupport::RunProcess(testsupport::WineProcess(tmp_.Path(), all));
  }

  testsupport::TempDir tmp_;
  testsupport::HttpTestServer server_;
  testsupport::UpdateChain chain_;
  testsupport::MinisignKey key_;
  std::string winBin_, game_;
};

TEST_F(WineSignedList, ChainSignedWithTheEmbeddedKeyIsApplied) {
  Serve(chain_.ListBody(), chain_.ListBody());
  ASSERT_EQ(Tool("wine_file_lock.exe", {"setstring", WinePath(game_ + "/bin/patch/nolkpatch.exe"), "112", key_.publicLine})
                .exitCode,
            0);
  auto r = testsupport::RunProcess(testsupport::WineProcess(game_ + "/bin/patch", {"nolkpatch.exe"}));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testsupport::CompareTrees(chain_.trees[2], game_, testsupport::InstallationOnly),
            std::vector<std::string>());
  EXPECT_EQ(server_.TargetsStartingWith("/list.minisig").size(), 1u);
}

TEST_F(WineSignedList, ForgedListIsRefusedAndNothingIsWritten) {
  // The attacker serves the operator's real signature beside a list with one digest changed.
  std::string forged = chain_.ListBody();
  forged[forged.find(chain_.md5s[0])] ^= 1;
  Serve(forged, chain_.ListBody());
  std::string ini;
  ASSERT_TRUE(testsupport::ReadFile(game_ + "/var/gac/Url.ini", &ini));
  testsupport::WriteFile(game_ + "/var/gac/Url.ini", ini + "ListKey=" + key_.publicLine + "\r\n");

  testsupport::ChildProcess run(testsupport::WineProcess(game_ + "/bin/patch", {"nolkpatch.exe"}));
  const std::string boxFile = tmp_.Path() + "/box";
  ASSERT_EQ(Tool("wine_window_helper.exe", {"box", "ok", "60000", WinePath(boxFile)}).exitCode, 0) << "no box";
  std::string shown;
  testsupport::ReadFile(boxFile, &shown);
  EXPECT_NE(shown.find(testsupport::Hex("获取更新列表失败, 更新列表签名无效")), std::string::npos) << shown;
  auto r = run.Wait();
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_EQ(testsupport::CompareTrees(chain_.trees[0], game_, testsupport::InstallationOnly),
            std::vector<std::string>());
  EXPECT_TRUE(server_.TargetsStartingWith("/query?").empty());
  std::string log;
  testsupport::ReadFile(game_ + "/bin/patch/nolk.log", &log);
  EXPECT_NE(log.find("更新列表签名校验失败 UpdateURL=" + server_.Url("/list") + ": 更新列表签名无效\r\n"),
            std::string::npos)
      << log;
}

}  // namespace
