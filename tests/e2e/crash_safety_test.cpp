// The program killed at random moments while it applies a chain of three packages, then started
// again until it ends with exit code 0: the installation must end as the newest tree every time.
// NOLK_CRASH_RUNS sets the number of kills (scripts/crash-test runs 50).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

using testsupport::HttpAnswer;
using testsupport::ReadFile;

namespace {

using Clock = std::chrono::steady_clock;

std::string BinDir() {
  const char* b = std::getenv("NOLK_BIN_DIR");
  return b ? b : "";
}

int Runs() {
  const char* r = std::getenv("NOLK_CRASH_RUNS");
  int n = r ? std::atoi(r) : 0;
  return n > 0 ? n : 10;
}

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(testsupport::MakeUpdateChain(tmp_.Path() + "/build", "2.1.14", 3, 250, 99, &chain_, &error)) << error;
    server_.SetDefault(HttpAnswer::Ok(""));
    server_.SetAnswer("/list", HttpAnswer::Ok(chain_.ListBody()));
    // Obsolete paths of the newest tree's list, relative to the root, "/" separated.
    std::string list;
    ReadFile(chain_.trees[3] + "/data/DelFileList.dat", &list);
    std::size_t start = 0;
    while (start < list.size()) {
      std::size_t end = list.find('\n', start);
      if (end == std::string::npos) end = list.size();
      std::string line = list.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, 6, "..\\..\\") == 0) line = line.substr(6);
      for (char& c : line)
        if (c == '\\') c = '/';
      if (!line.empty() && line.back() == '/') line.pop_back();  // a folder line
      if (!line.empty()) obsolete_.insert(platform_path(line));
      start = end + 1;
    }
  }

  static std::string platform_path(const std::string& gbk);

  testsupport::ProcessOptions Options(const std::string& game) {
    return testsupport::ProgramOptions(game, tmp_.Path());
  }

  std::string NewGame(int i) {
    const std::string game = tmp_.Path() + "/game" + std::to_string(i);
    testsupport::MakeInstallation(chain_, game, BinDir(), server_.Url("/list"), server_.Url("/query?"));
    return game;
  }

  std::string Version(const std::string& game) {
    std::string ini;
    ReadFile(game + "/var/gac/update.ini", &ini);
    std::size_t p = ini.find("Version=");
    return p == std::string::npos ? "" : ini.substr(p + 8, ini.find_first_of("\r\n", p) - p - 8);
  }

  // A leftover is an obsolete path (or something inside one) that the interrupted removal did not reach.
  bool IsLeftover(const std::string& diff) {
    if (diff.compare(0, 7, "extra: ") != 0) return false;
    std::string rel = diff.substr(7);
    if (!rel.empty() && rel.back() == '/') rel.pop_back();
    for (const std::string& o : obsolete_)
      if (rel == o || rel.compare(0, o.size() + 1, o + "/") == 0) return true;
    return false;
  }

  testsupport::TempDir tmp_;
  testsupport::HttpTestServer server_;
  testsupport::UpdateChain chain_;
  std::set<std::string> obsolete_;
};

std::string CrashSafety::platform_path(const std::string& gbk) { return platform::HostPath(gbk); }

TEST_F(CrashSafety, KilledAnywhereInTheApplyItConvergesToTheNewestTree) {
  // How long the apply takes: from its first section to the end of the run.
  double applySeconds = 0;
  {
    const std::string game = NewGame(-1);
    testsupport::ChildProcess child(Options(game));
    Clock::time_point first{};
    while (child.Running()) {
      if (first == Clock::time_point{} && child.OutputSoFar().find("Now Status:") != std::string::npos)
        first = Clock::now();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    auto r = child.Wait();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_NE(first, Clock::time_point{});
    applySeconds = std::chrono::duration<double>(Clock::now() - first).count();
    ASSERT_EQ(testsupport::CompareTrees(chain_.trees[3], game, testsupport::InstallationOnly),
              std::vector<std::string>());
    testsupport::RemoveTree(game);
  }

  std::mt19937 rng(20261209);
  const int runs = Runs();
  int converged = 0, afterNewest = 0, finishedFirst = 0, restarts = 0;
  bool followUpChecked = false;
  std::map<std::string, int> killedAt;  // installed version at the moment of the kill
  // Only real kills count: a run that ended before its moment is made again with another one.
  for (int i = 0, attempts = 0; i < runs && attempts < 3 * runs; ++attempts) {
    const std::string game = NewGame(i);
    {
      testsupport::ChildProcess child(Options(game));
      while (child.Running() && child.OutputSoFar().find("Now Status:") == std::string::npos)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      const bool runningAtFirstSection = child.Running();
      const double delay = std::uniform_real_distribution<double>(0.0, applySeconds)(rng);
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      if (child.Running()) {
        child.Kill(SIGKILL);
        child.Wait();
      } else {
        // The measured run may have been slowed by other work on the machine: this one took less than
        // the delay, so later moments are drawn from within it.
        if (runningAtFirstSection) applySeconds = delay;
        ++finishedFirst;
        child.Wait();
        testsupport::RemoveTree(game);
        continue;
      }
    }
    // Whatever the moment, the installed version still reads as one of the chain's.
    const std::string version = Version(game);
    ++killedAt[version];
    EXPECT_NE(std::find(chain_.versions.begin(), chain_.versions.end(), version), chain_.versions.end())
        << "run " << i << ": unreadable version '" << version << "'";

    int exitCode = -1;
    for (int attempt = 0; attempt < 6 && exitCode != 0; ++attempt) {
      auto r = testsupport::RunProcess(Options(game));
      exitCode = r.exitCode;
      ++restarts;
    }
    EXPECT_EQ(exitCode, 0) << "run " << i;
    std::vector<std::string> diffs = testsupport::CompareTrees(chain_.trees[3], game, testsupport::InstallationOnly);
    bool onlyLeftovers = true;
    for (const std::string& d : diffs)
      if (!IsLeftover(d)) onlyLeftovers = false;
    if (diffs.empty()) {
      ++converged;
    } else if (version == chain_.versions.back() && onlyLeftovers) {
      // Killed once the newest update.ini was in place (its last section) and before the removal was
      // through: the next start finds nothing to apply, so the obsolete files wait for the next release.
      ++converged;
      ++afterNewest;
      if (!followUpChecked) {
        // The next package made by nolkpack takes the leftovers away.
        followUpChecked = true;
        const std::string t18 = tmp_.Path() + "/build/trees/2.1.18";
        testsupport::EvolveTree(chain_.trees[3], t18, "2.1.18", 18);
        std::string md5, error;
        ASSERT_TRUE(testsupport::BuildChainPackage(chain_.trees[3], t18, "2.1.18", game + "/var/gac/nolk-2.1.18.pkg",
                                                   &md5, &error))
            << error;
        server_.SetAnswer("/list", HttpAnswer::Ok("2.1.18 http://127.0.0.1/p/nolk-2.1.18.pkg " + md5 + "\n"));
        auto r = testsupport::RunProcess(Options(game));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(testsupport::CompareTrees(t18, game,
                                            [](const std::string& rel) {
                                              return testsupport::InstallationOnly(rel) ||
                                                     rel == "data/DelFileList.dat";
                                            }),
                  std::vector<std::string>());
        server_.SetAnswer("/list", HttpAnswer::Ok(chain_.ListBody()));
      }
    } else {
      ADD_FAILURE() << "run " << i << " did not converge:\n" << ::testing::PrintToString(diffs);
    }
    testsupport::RemoveTree(game);
    ++i;
  }
  std::printf(
      "crash safety: %d of %d kills converged (%d fell after the newest version was written; %d runs ended "
      "before their moment and were made again; %d starts after the kills; moments drawn at last within %.2f s)\n",
      converged, runs, afterNewest, finishedFirst, restarts, applySeconds);
  for (const auto& kv : killedAt) std::printf("  stopped at version %s: %d\n", kv.first.c_str(), kv.second);
  int kills = 0;
  for (const auto& kv : killedAt) kills += kv.second;
  EXPECT_EQ(kills, runs) << "too few runs were still going at their moment";
  EXPECT_EQ(converged, runs);
}

}  // namespace
