// The whole run of nolkpatch on a chain of three packages of about 300 MiB together, against the
// floor measured in the same run: two md5sum passes over the packages, and bzip2 -dc of their
// bodies into files. Prints the medians and the ratio (target: at most 1.2).
//   run_bench [--mib N] [--repeat K] [--keep]     (NOLK_BENCH_DIR: where to work, default /tmp)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int Shell(const std::string& cmd) { return std::system(cmd.c_str()); }

// Game files that a package rewrites whole: mostly incompressible, some text-like.
void WriteBigTree(const std::string& root, const std::string& version, int files, std::uint64_t bytesEach,
                  std::uint32_t seed) {
  testsupport::MakeDirs(root + "/data/big");
  testsupport::MakeDirs(root + "/bin");
  testsupport::MakeDirs(root + "/var/gac");
  for (int i = 0; i < files; ++i)
    testsupport::WriteRandomFile(root + "/data/big/f" + std::to_string(i) + ".dat", bytesEach, seed * 1000 + i);
  // Small files too, as a real package holds.
  for (int i = 0; i < 200; ++i)
    testsupport::WriteFile(root + "/data/small" + std::to_string(i % 10) + "/s" + std::to_string(i) + ".txt",
                           testsupport::RandomBytes(2000 + i * 13, seed * 7 + i));
  testsupport::WriteFile(root + "/var/gac/update.ini", testsupport::UpdateIniText(version));
}

}  // namespace

int main(int argc, char** argv) {
  int mib = 300, repeat = 3;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mib" && i + 1 < argc)
      mib = std::atoi(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc)
      repeat = std::atoi(argv[++i]);
    else if (a == "--keep")
      keep = true;
  }
  const char* binEnv = std::getenv("NOLK_BIN_DIR");
  const std::string bin = binEnv ? binEnv : "build/native-release/bin";
  const char* dirEnv = std::getenv("NOLK_BENCH_DIR");
  const std::string work = std::string(dirEnv && *dirEnv ? dirEnv : "/tmp") + "/nolk-run-bench";
  testsupport::RemoveTree(work);
  testsupport::MakeDirs(work);

  // Three versions; each package rewrites a third of the data, so the packages add up to about mib.
  std::printf("preparing a chain of %d MiB of packages in %s ...\n", mib, work.c_str());
  std::fflush(stdout);
  const int files = 12;
  const std::uint64_t each = static_cast<std::uint64_t>(mib) * (1u << 20) / (3 * files);
  testsupport::UpdateChain chain;
  chain.versions = {"2.1.14", "2.1.15", "2.1.16", "2.1.17"};
  for (int v = 0; v < 4; ++v) {
    chain.trees.push_back(work + "/trees/" + chain.versions[v]);
    WriteBigTree(chain.trees.back(), chain.versions[v], files, each, static_cast<std::uint32_t>(v + 1));
  }
  for (int v = 1; v < 4; ++v) {
    std::string md5, error;
    const std::string pkg = work + "/packages/nolk-" + chain.versions[v] + ".pkg";
    testsupport::MakeDirs(work + "/packages");
    if (!testsupport::BuildChainPackage(chain.trees[v - 1], chain.trees[v], chain.versions[v], pkg, &md5, &error)) {
      std::fprintf(stderr, "run_bench: %s\n", error.c_str());
      return 1;
    }
    chain.packages.push_back(pkg);
    chain.md5s.push_back(md5);
  }
  std::string packagesArg;
  for (const auto& p : chain.packages) packagesArg += " '" + p + "'";

  testsupport::HttpTestServer server;
  server.SetDefault(testsupport::HttpAnswer::Ok(""));
  server.SetAnswer("/list", testsupport::HttpAnswer::Ok(chain.ListBody()));

  std::vector<double> runs, floors;
  for (int k = 0; k < repeat; ++k) {
    // The floor: two digests of every package, and every body decompressed into a file.
    const std::string out = work + "/floor";
    testsupport::MakeDirs(out);
    Clock::time_point f0 = Clock::now();
    Shell("md5sum" + packagesArg + " >/dev/null && md5sum" + packagesArg + " >/dev/null");
    for (std::size_t i = 0; i < chain.packages.size(); ++i)
      Shell("tail -c +13 '" + chain.packages[i] + "' | bzip2 -dc >'" + out + "/" + std::to_string(i) +
            "' && sync -f '" + out + "'");
    floors.push_back(Seconds(f0, Clock::now()));
    testsupport::RemoveTree(out);

    const std::string game = work + "/game";
    testsupport::RemoveTree(game);
    testsupport::MakeInstallation(chain, game, bin, server.Url("/list"), server.Url("/query?"));
    Shell("sync");
    testsupport::ProcessOptions o = testsupport::ProgramOptions(game, work);
    Clock::time_point r0 = Clock::now();
    testsupport::ProcessResult r = testsupport::RunProcess(o);
    Shell("sync -f '" + game + "'");
    runs.push_back(Seconds(r0, Clock::now()));
    if (r.exitCode != 0) {
      std::fprintf(stderr, "run_bench: the run failed with %d\n%s\n", r.exitCode, r.err.c_str());
      return 1;
    }
    const auto diffs = testsupport::CompareTrees(chain.trees[3], game, testsupport::InstallationOnly);
    if (!diffs.empty()) {
      std::fprintf(stderr, "run_bench: the tree after the run differs from the newest one, first: %s\n",
                   diffs[0].c_str());
      return 1;
    }
    std::printf("  round %d: run %.2f s, floor %.2f s\n", k + 1, runs.back(), floors.back());
    std::fflush(stdout);
  }
  const double run = Median(runs), floor = Median(floors);
  std::printf("whole run of %d MiB of packages: %.2f s; floor (2x md5sum + bzip2 -dc to files): %.2f s\n", mib, run,
              floor);
  std::printf("run / floor: %.3f (target <= 1.20)\n", run / floor);
  if (!keep) testsupport::RemoveTree(work);
  return 0;
}
