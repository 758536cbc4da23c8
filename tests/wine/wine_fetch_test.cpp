// nolkpatch.exe under Wine fetches a chain of three packages through WinINet into an empty var/gac
// (FetchPackages=1 in Url.ini): the server cuts the second package half-way on its first request, the
// program resumes it with "Range: bytes=N-" from its side file, and the installation ends at the
// newest release byte for byte. Needs the win64 build, a display and Wine; skipped when one is missing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"
#include "tests/support/wine_driver.h"

namespace {

using testsupport::Env;

TEST(WineFetch, ThreePackagesWithACutAndAResume) {
  std::string winBin = Env("NOLK_WIN64_BIN_DIR");
  if (winBin.empty()) winBin = Env("NOLK_SOURCE_DIR") + "/build/win64/bin";
  for (const char* f : {"nolkpatch.exe", "nolkdbghelp.dll", "wine_file_lock.exe"})
    if (!testsupport::Exists(winBin + "/" + f)) GTEST_SKIP() << "no " << f << " in " << winBin;
  if (Env("DISPLAY").empty()) GTEST_SKIP() << "no display";
  if (std::system("command -v wine >/dev/null 2>&1") != 0) GTEST_SKIP() << "no wine";

  testsupport::TempDir tmp;
  testsupport::UpdateChain chain;
  std::string error;
  ASSERT_TRUE(testsupport::MakeUpdateChain(tmp.Path() + "/build", "2.1.14", 3, 60, 22, &chain, &error)) << error;
  testsupport::MakeDirs(tmp.Path() + "/served/package");
  std::vector<std::string> bytes(3);
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(testsupport::ReadFile(chain.packages[i], &bytes[i]));
    testsupport::WriteFile(tmp.Path() + "/served/package/" + chain.PackageName(i), bytes[i]);
  }
  testsupport::HttpTestServer server;
  ASSERT_NE(server.Port(), 0);
  server.ServeDirectory(tmp.Path() + "/served");
  // The first package's first GET is cut half-way.
  const std::uint64_t cutAt = bytes[0].size() / 2;
  server.CutNextBodies(1, cutAt);
  std::string list;
  for (std::size_t i = 0; i < 3; ++i)
    list += chain.versions[i + 1] + " " + server.Url("/package/" + chain.PackageName(i)) + " " + chain.md5s[i] + "\r\n";
  server.SetAnswer("/list", testsupport::HttpAnswer::Ok(list));

  // The game at the first release with nothing in var/gac but its settings.
  const std::string game = tmp.Path() + "/game";
  testsupport::MakeInstallation(chain, game, winBin, server.Url("/list"), server.Url("/query?"), true);
  for (std::size_t i = 0; i < 3; ++i) std::remove((game + "/var/gac/" + chain.PackageName(i)).c_str());
  testsupport::WriteFile(game + "/var/gac/Url.ini",
                         testsupport::UrlIniText(server.Url("/list"), server.Url("/query?")) + "FetchPackages=1\r\n");

  testsupport::ProcessOptions o = testsupport::WineProcess(game + "/bin/patch", {"nolkpatch.exe"});
  o.timeoutSeconds = 300;
  testsupport::ChildProcess run(o);
  // A message box means the run stopped on a failure; its text says which (the box stays, and the
  // run is killed when the test ends).
  const std::string boxFile = tmp.Path() + "/box";
  for (int round = 0; run.Running() && round < 50; ++round) {
    const auto box = testsupport::RunProcess(testsupport::WineProcess(
        tmp.Path(), {winBin + "/wine_file_lock.exe", "waitbox", "5000", testsupport::WinePath(boxFile)}));
    std::string hex;
    if (box.exitCode == 0 && testsupport::ReadFile(boxFile, &hex))
      FAIL() << "the run shows a box: " << platform::GbkToUtf8(testsupport::Unhex(hex));
  }
  const testsupport::ProcessResult r = run.Wait();
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0) << r.err;

  // Expected: the newest release, the three packages whole in var/gac, no side file left.
  EXPECT_EQ(testsupport::CompareTrees(chain.trees[3], game, testsupport::InstallationOnly), std::vector<std::string>());
  for (std::size_t i = 0; i < 3; ++i) {
    std::string got;
    EXPECT_TRUE(testsupport::ReadFile(game + "/var/gac/" + chain.PackageName(i), &got)) << chain.PackageName(i);
    EXPECT_TRUE(got == bytes[i]) << chain.PackageName(i) << ": " << got.size() << " of " << bytes[i].size() << " bytes";
    EXPECT_FALSE(testsupport::Exists(game + "/var/gac/" + chain.PackageName(i) + ".nolkpatch-part"));
  }
  // Expected: the first package asked for twice, the second time from where the cut left its side
  // file; one GET of the others without a range. HEAD requests are not counted.
  std::vector<std::vector<std::string>> ranges(3);
  for (const testsupport::HttpRequestRecord& q : server.Requests())
    for (std::size_t i = 0; i < 3; ++i)
      if (q.method == "GET" && q.target == "/package/" + chain.PackageName(i)) ranges[i].push_back(q.Header("Range"));
  EXPECT_EQ(ranges[0], (std::vector<std::string>{"", "bytes=" + std::to_string(cutAt) + "-"}));
  EXPECT_EQ(ranges[1], std::vector<std::string>{""});
  EXPECT_EQ(ranges[2], std::vector<std::string>{""});
}

}  // namespace
