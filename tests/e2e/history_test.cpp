// The property nolkpack promises over a release history: releases kept as plain trees, each package
// built from the previous release; a player at any earlier release who applies the chain with the
// program's engine ends with exactly the newest release (the old spelling of a case-only rename may
// stay beside the new one on this case-sensitive file system). NOLK_HISTORIES sets the count.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/game_tree.h"
#include "tests/support/release_history.h"
#include "tests/support/test_files.h"
#include "tools/nolkpack/pack_build.h"
#include "tools/nolkpack/pack_verify.h"
#include "update/version.h"

namespace {

const std::vector<std::string> kProgramFiles = {"nolkpatch", "nolkdbghelp.dll"};

int Histories() {
  const char* n = std::getenv("NOLK_HISTORIES");
  return n ? std::atoi(n) : 50;
}

TEST(ReleaseHistories, EveryEarlierReleaseEndsAtTheNewest) {
  const int releases = 6;
  for (int seed = 1; seed <= Histories(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (NOLK_HISTORIES and this seed reproduce it)");
    testsupport::TempDir dir;
    const testsupport::ReleaseHistory h = testsupport::MakeReleaseHistory(static_cast<std::uint32_t>(seed), releases, kProgramFiles);
    std::vector<nolkpack::PackageToApply> packages;
    for (int i = 0; i < releases; ++i) {
      h.Write(i, dir.Path() + "/r" + std::to_string(i));
      if (i == 0) continue;
      nolkpack::BuildStats stats;
      std::string error;
      const std::string out = dir.Path() + "/p" + std::to_string(i) + ".pkg";
      ASSERT_TRUE(nolkpack::BuildPackage(platform::Utf8ToGbk(dir.Path() + "/r" + std::to_string(i - 1)),
                                         platform::Utf8ToGbk(dir.Path() + "/r" + std::to_string(i)),
                                         ParseVersionCode(h.versions[i]), platform::Utf8ToGbk(out), &stats, &error))
          << "release " << i << ": " << error;
      packages.push_back({platform::Utf8ToGbk(out), ParseVersionCode(h.versions[i])});
    }
    const std::string newest = dir.Path() + "/r" + std::to_string(releases - 1);
    for (int start = 0; start + 1 < releases; ++start) {
      // From the player's tree as that release left it, the whole chain (which must end at the newest release)
      // and for some the chain without its first package: verify passes exactly the chains that end there.
      for (int skip = 0; skip < (start % 2 == 0 && start + 2 < releases ? 2 : 1); ++skip) {
        SCOPED_TRACE("from release " + std::to_string(start) + (skip ? " without its first package" : ""));
        const std::string game = dir.Path() + "/game" + std::to_string(start) + "-" + std::to_string(skip);
        testsupport::CopyTree(dir.Path() + "/r" + std::to_string(start), game);
        std::vector<nolkpack::PackageToApply> run(packages.begin() + start + skip, packages.end());
        std::vector<std::vector<std::string>> names;
        std::vector<std::string> paths, problems, notes, diffs;
        std::string failure, error;
        const bool applied = nolkpack::ApplyLikeTheClient(run, platform::Utf8ToGbk(game),
                                                          platform::Utf8ToGbk(game + "/bin/patch"), &names, &failure);
        if (applied) diffs = testsupport::CompareWithRelease(h, newest, game, false);
        ASSERT_TRUE(skip || (applied && diffs.empty())) << failure << ::testing::PrintToString(diffs);
        for (const auto& p : run) paths.push_back(p.path);
        ASSERT_TRUE(nolkpack::VerifyPackages(platform::Utf8ToGbk(dir.Path() + "/r" + std::to_string(start)),
                                             platform::Utf8ToGbk(newest), paths, &problems, &notes, &error))
            << error;
        const bool exact = applied && diffs.empty();
        EXPECT_EQ(problems.empty(), exact) << ::testing::PrintToString(problems);
      }
    }
  }
}

}  // namespace
