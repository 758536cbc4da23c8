// The property nolkpack promises over a release history: releases kept as plain trees, each package
// built from the previous release; a player at any earlier release who applies the chain with the
// program's engine ends with exactly the newest release (the old spelling of a case-only rename may
// stay beside the new one on this case-sensitive file system). NOLK_HISTORIES sets the count.
#include <gtest/gtest.h>

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

int Histories() {
  const char* n = std::getenv("NOLK_HISTORIES");
  return n ? std::atoi(n) : 50;
}

TEST(ReleaseHistories, EveryEarlierReleaseEndsAtTheNewest) {
  const int releases = 6;
  for (int seed = 1; seed <= Histories(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (NOLK_HISTORIES and this seed reproduce it)");
    testsupport::TempDir dir;
    const testsupport::ReleaseHistory h = testsupport::MakeReleaseHistory(static_cast<std::uint32_t>(seed), releases);
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
      SCOPED_TRACE("from release " + std::to_string(start));
      const std::string game = dir.Path() + "/game" + std::to_string(start);
      // The player's tree as that release left it, with the list its package wrote.
      testsupport::CopyTree(dir.Path() + "/r" + std::to_string(start), game);
      std::vector<nolkpack::PackageToApply> run(packages.begin() + start, packages.end());
      std::vector<std::vector<std::string>> names;
      std::string failure;
      ASSERT_TRUE(nolkpack::ApplyLikeTheClient(run, platform::Utf8ToGbk(game), platform::Utf8ToGbk(game + "/bin/patch"),
                                               &names, &failure))
          << failure;
      std::vector<std::string> diffs = testsupport::CompareWithRelease(h, newest, game, false);
      ASSERT_TRUE(diffs.empty()) << ::testing::PrintToString(diffs);
    }
  }
}

}  // namespace
