// Whole runs of the native program closed at awkward moments (Ctrl-C during a long package check,
// during the apply phase), and the statistics query for package names that a URL parser would
// cut or refuse.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/host_lookup.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

using testsupport::ChildProcess;
using testsupport::HttpAnswer;
using testsupport::HttpTestServer;
using testsupport::TempDir;

namespace {

std::string BinDir() { return testsupport::Env("NOLK_BIN_DIR"); }

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class CloseAndReport : public ::testing::Test {
 protected:
  void SetUp() override {
    game_ = tmp_.Path() + "/game";
    ASSERT_NE(server_.Port(), 0);
  }
  testsupport::ProcessOptions Options() {
    testsupport::ProcessOptions o = testsupport::ProgramOptions(game_, tmp_.Path());
    o.argv = {game_ + "/bin/patch/nolkpatch"};
    o.timeoutSeconds = 120;
    return o;
  }
  void Bare() {
    testsupport::MakeBareInstallation(game_, "2.1.14", server_.Url("/patchlist.txt"), server_.Url("/query?"));
    testsupport::MakeDirs(game_ + "/bin/patch");
    for (const char* f : {"nolkpatch", "nolkdbghelp.dll"}) {
      std::string bytes;
      ASSERT_TRUE(testsupport::ReadFile(BinDir() + "/" + f, &bytes));
      testsupport::WriteFile(game_ + "/bin/patch/" + f, bytes);
    }
    ::chmod((game_ + "/bin/patch/nolkpatch").c_str(), 0755);
  }
  std::vector<std::string> Queries() { return server_.TargetsStartingWith("/query?"); }

  TempDir tmp_;
  HttpTestServer server_;
  std::string game_;
};

}  // namespace

TEST_F(CloseAndReport, InterruptDuringALongCheckEndsWithinASecond) {
  Bare();
  // A 2 GiB package (sparse: no disk needed) takes many seconds to digest.
  const std::string pkg = game_ + "/var/gac/big.pkg";
  std::FILE* f = std::fopen(pkg.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_EQ(::truncate(pkg.c_str(), 2047LL << 20), 0);
  server_.SetAnswer("/patchlist.txt",
                    HttpAnswer::Ok("2.1.15 http://127.0.0.1/package/big.pkg 00000000000000000000000000000000\n"));
  ChildProcess run(Options());
  ASSERT_TRUE(server_.WaitForRequests(1, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ASSERT_TRUE(run.Running()) << "the check ended before the interrupt";
  auto asked = std::chrono::steady_clock::now();
  run.Kill(SIGINT);
  testsupport::ProcessResult r = run.Wait();
  EXPECT_LT(SecondsSince(asked), 1.5);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  // Stopped, not failed: no digest line in the log and no report.
  std::string log;
  ASSERT_TRUE(testsupport::ReadFile(game_ + "/bin/patch/nolk.log", &log));
  EXPECT_EQ(log.find("MD5"), std::string::npos) << log;
  EXPECT_TRUE(Queries().empty());
}

TEST_F(CloseAndReport, InterruptDuringTheApplyPhaseStillEndsUpToDate) {
  testsupport::UpdateChain chain;
  std::string error;
  ASSERT_TRUE(testsupport::MakeUpdateChain(tmp_.Path() + "/build", "2.1.14", 3, 600, 7, &chain, &error)) << error;
  testsupport::MakeInstallation(chain, game_, BinDir(), server_.Url("/patchlist.txt"), server_.Url("/query?"));
  server_.SetAnswer("/patchlist.txt", HttpAnswer::Ok(chain.ListBody()));
  ChildProcess run(Options());
  // Ctrl-C once the first section has been written.
  for (int i = 0; i < 1200 && run.OutputSoFar().find("Now Status:") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string before = run.OutputSoFar();
  ASSERT_NE(before.find("Now Status:"), std::string::npos);
  if (before.find("Process:100") != std::string::npos) GTEST_SKIP() << "the apply phase ended before the interrupt";
  run.Kill(SIGINT);
  testsupport::ProcessResult r = run.Wait();
  // The apply phase runs on to its end: every package applied, the exit code says up to date.
  EXPECT_NE(r.out.find("Now Version:2.1.17Process:100"), std::string::npos) << r.out;
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(testsupport::CompareTrees(chain.trees.back(), game_, testsupport::InstallationOnly).empty());
}

TEST_F(CloseAndReport, QueryGoesOutAsItIsAndClipIsTheHostNamesAddress) {
  Bare();
  std::size_t reports = 0;
  // Names a URL parser would cut at "#", or refuse for their control bytes; none of them exists,
  // so each check fails and reports "cancel" with the name.
  for (const std::string& name : {std::string("h#1.pkg"), std::string("a\x01%b.pkg"), std::string("del\x7f&x=1.pkg")}) {
    server_.SetAnswer("/patchlist.txt",
                      HttpAnswer::Ok("2.1.15 http://127.0.0.1/package/" + name + " 00000000000000000000000000000000\n"));
    testsupport::ProcessResult r = testsupport::RunProcess(Options());
    EXPECT_EQ(r.exitCode, 1) << r.err;
    std::vector<std::string> q = Queries();
    ASSERT_EQ(q.size(), ++reports) << name;
    const std::string& last = q.back();
    const std::string tail = "&err=cancel&file=" + name + "&dlip=127.0.0.1";
    ASSERT_GE(last.size(), tail.size());
    EXPECT_EQ(last.substr(last.size() - tail.size()), tail) << last;
    EXPECT_NE(last.find("&clip=" + testsupport::HostNameAddress() + "&dns="), std::string::npos) << last;
  }
}
