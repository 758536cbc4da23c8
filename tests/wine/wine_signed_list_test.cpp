// nolkpatch.exe under Wine with the operator's key in its string table (keys and signatures by the real
// minisign): a forged list is refused with its box and writes nothing, even with an empty ListKey in
// Url.ini, then the signed one is applied and its time recorded.
// Needs the win64 build, a display and Wine; skipped without.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/minisign_tool.h"
#include "tests/support/update_chain.h"
#include "tests/support/wine_driver.h"

namespace {

using testsupport::WinePath;

TEST(WineSignedList, ForgedListRefusedThenSignedChainApplied) {
  const std::string bin = testsupport::Env("NOLK_WIN64_BIN_DIR");
  for (const char* f : {"nolkpatch.exe", "nolkdbghelp.dll", "wine_window_helper.exe", "wine_file_lock.exe"})
    if (!testsupport::Exists(bin + "/" + f)) GTEST_SKIP() << "no " << f << " in " << bin;
  if (testsupport::Env("DISPLAY").empty() || std::system("command -v wine >/dev/null") != 0) GTEST_SKIP() << "no Wine";
  testsupport::TempDir tmp;
  testsupport::HttpTestServer server;
  testsupport::UpdateChain chain;
  std::string error, forged, shown, log;
  ASSERT_TRUE(testsupport::MakeUpdateChain(tmp.Path() + "/build", "2.1.14", 2, 30, 19, &chain, &error)) << error;
  const std::string game = tmp.Path() + "/game";
  testsupport::MakeInstallation(chain, game, bin, server.Url("/list"), server.Url("/query?"), true);
  const testsupport::MinisignKey key = testsupport::MakeMinisignKey(tmp.Path(), "operator");
  auto run = [&](const std::string& cwd, const std::vector<std::string>& args) {
    return testsupport::RunProcess(testsupport::WineProcess(cwd, args));
  };
  ASSERT_EQ(run(tmp.Path(), {bin + "/wine_file_lock.exe", "setstring", WinePath(game + "/bin/patch/nolkpatch.exe"),
                             "112", key.publicLine})
                .exitCode,
            0);
  server.SetDefault(testsupport::HttpAnswer::Ok(""));
  const std::string sig = testsupport::MinisignSign(key, chain.ListBody(), false, "list");
  server.SetAnswer("/list.minisig", testsupport::HttpAnswer::Ok(sig));
  // Url.ini cannot switch off the key the program carries.
  testsupport::WriteFile(game + "/var/gac/Url.ini",
                         testsupport::UrlIniText(server.Url("/list"), server.Url("/query?")) + "ListKey=\r\n");

  // The operator's real signature beside a list with one digest changed.
  forged = chain.ListBody();
  forged[forged.find(chain.md5s[0])] ^= 1;
  server.SetAnswer("/list", testsupport::HttpAnswer::Ok(forged));
  testsupport::ChildProcess refused(testsupport::WineProcess(game + "/bin/patch", {"nolkpatch.exe"}));
  ASSERT_EQ(
      run(tmp.Path(), {bin + "/wine_window_helper.exe", "box", "ok", "60000", WinePath(tmp.Path() + "/box")}).exitCode,
      0);
  testsupport::ReadFile(tmp.Path() + "/box", &shown);
  EXPECT_NE(shown.find(testsupport::Hex("获取更新列表失败, 更新列表签名无效")), std::string::npos) << shown;
  EXPECT_EQ(refused.Wait().exitCode, 2);
  EXPECT_EQ(testsupport::CompareTrees(chain.trees[0], game, testsupport::InstallationOnly), std::vector<std::string>());
  EXPECT_TRUE(server.TargetsStartingWith("/query?").empty());
  testsupport::ReadFile(game + "/bin/patch/nolk.log", &log);
  EXPECT_NE(log.find("更新列表签名校验失败 UpdateURL=" + server.Url("/list") + ": 更新列表签名无效\r\n"),
            std::string::npos);

  server.SetAnswer("/list", testsupport::HttpAnswer::Ok(chain.ListBody()));
  auto r = run(game + "/bin/patch", {"nolkpatch.exe"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testsupport::CompareTrees(chain.trees[2], game, testsupport::InstallationOnly), std::vector<std::string>());
  const std::size_t stamp = sig.find("timestamp:") + 10;
  std::string recorded;
  EXPECT_TRUE(testsupport::ReadFile(game + "/var/gac/ListTimestamp", &recorded));
  EXPECT_EQ(recorded, sig.substr(stamp, sig.find('\t', stamp) - stamp) + "\r\n");
}

}  // namespace
