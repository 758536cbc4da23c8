// The whole run of nolkpatch on a chain of three packages of about 300 MiB together, against the
// floors measured in the same run: two md5sum passes over the packages, and the bodies decoded
// into files by bzip2 -dc (one core) and by lbzip2 -dc -n <cores>. Prints the medians, the ratios
// and the run's peak memory.
//   run_bench [--mib N] [--repeat K] [--keep]     (NOLK_BENCH_DIR: where to work, default /tmp)
//   run_bench --small-files [--repeat K]          one package of 20,000 files of 100-3,000 bytes
//                                                 against tar xjf + sync of the same files, on
//                                                 /dev/shm or in NOLK_BENCH_DIR
//   run_bench --barriers                          making 20,000 new files durable: syncfs against
//                                                 fdatasync of each plus fsync of each folder
// Every run also reports the time the program spent in its flushes (one traced run).
//   run_bench --wine [--mib N]                    nolkpatch.exe under Wine (NOLK_WIN64_BIN_DIR),
//                                                 decoding on every core against one thread
#include <algorithm>
#include <filesystem>
#include <random>
#include <thread>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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


int Cores() {
  const unsigned n = std::thread::hardware_concurrency();
  return n ? static_cast<int>(n) : 1;
}

// One whole run in a fresh copy of the installation; its time, or a negative value on failure.
double TimedRun(const testsupport::UpdateChain& chain, const std::string& work, const std::string& bin,
                const testsupport::HttpTestServer& server, bool wine, const std::string& threads, long* peakKib) {
  const std::string game = work + "/game";
  testsupport::RemoveTree(game);
  testsupport::MakeInstallation(chain, game, bin, server.Url("/list"), server.Url("/query?"), wine);
  Shell("sync");
  testsupport::ProcessOptions o = testsupport::ProgramOptions(game, work);
  if (wine) {
    const char* src = std::getenv("NOLK_SOURCE_DIR");
    o.argv = {std::string(src ? src : ".") + "/tests/support/wine-run", game + "/bin/patch/nolkpatch.exe"};
    o.timeoutSeconds = 600;
  }
  if (!threads.empty()) o.env.push_back({"NOLK_DECODE_THREADS", threads});
  Clock::time_point r0 = Clock::now();
  testsupport::ProcessResult r = testsupport::RunProcess(o);
  Shell("sync -f '" + game + "'");
  const double t = Seconds(r0, Clock::now());
  if (peakKib) *peakKib = std::max(*peakKib, r.maxRssKib);
  if (r.exitCode != 0) {
    std::fprintf(stderr, "run_bench: the run failed with %d\n%s\n", r.exitCode, r.err.c_str());
    return -1;
  }
  const auto diffs = testsupport::CompareTrees(chain.trees.back(), game, testsupport::InstallationOnly);
  if (!diffs.empty()) {
    std::fprintf(stderr, "run_bench: the tree after the run differs from the newest one, first: %s\n",
                 diffs[0].c_str());
    return -1;
  }
  return t;
}

// The seconds one run spends in syncfs, fsync and fdatasync, from strace's timings.
double BarrierSeconds(const testsupport::UpdateChain& chain, const std::string& work, const std::string& bin,
                      const testsupport::HttpTestServer& server) {
  const std::string game = work + "/game", log = work + "/barriers.txt";
  testsupport::RemoveTree(game);
  testsupport::MakeInstallation(chain, game, bin, server.Url("/list"), server.Url("/query?"), false);
  Shell("sync");
  testsupport::ProcessOptions o = testsupport::ProgramOptions(game, work);
  o.argv.insert(o.argv.begin(), {"/usr/bin/strace", "-f", "-qq", "-T", "-e", "trace=syncfs,fsync,fdatasync", "-o", log});
  if (testsupport::RunProcess(o).exitCode != 0) return -1;
  std::string text;
  testsupport::ReadFile(log, &text);
  double total = 0;
  for (std::size_t at = text.find(" <"); at != std::string::npos; at = text.find(" <", at + 1))
    total += std::atof(text.c_str() + at + 2);
  return total;
}

double TimeFlushes(const std::string& root, int files, bool syncfsOnly) {
  testsupport::RemoveTree(root);
  std::vector<std::string> paths, folders;
  for (int i = 0; i < files; ++i) {
    if (i % 200 == 0) folders.push_back(root + "/d" + std::to_string(i / 200));
    testsupport::MakeDirs(folders.back());
    paths.push_back(folders.back() + "/f" + std::to_string(i));
    testsupport::WriteFile(paths.back(), testsupport::RandomBytes(100 + (i * 37) % 2901, static_cast<std::uint32_t>(i)));
  }
  Clock::time_point t0 = Clock::now();
  if (syncfsOnly) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    syncfs(fd);
    close(fd);
  } else {
    for (const auto* list : {&paths, &folders})
      for (const std::string& p : *list) {
        int fd = open(p.c_str(), O_RDONLY);
        list == &paths ? fdatasync(fd) : fsync(fd);
        close(fd);
      }
  }
  return Seconds(t0, Clock::now());
}

// How a barrier over many new files is cheapest: one syncfs, or a flush of each file and folder.
int Barriers(int repeat) {
  const char* dirEnv = std::getenv("NOLK_BENCH_DIR");
  const std::string root = std::filesystem::absolute(std::string(dirEnv && *dirEnv ? dirEnv : "/tmp") + "/nolk-barrier-bench").string();
  std::vector<double> one, each;
  for (int k = 0; k < repeat; ++k) {
    Shell("sync");
    one.push_back(TimeFlushes(root, 20000, true));
    Shell("sync");
    each.push_back(TimeFlushes(root, 20000, false));
    std::printf("  round %d: syncfs %.3f s, fdatasync of each file + fsync of each folder %.3f s\n", k + 1, one.back(),
                each.back());
    std::fflush(stdout);
  }
  std::printf("making 20,000 new files in 100 folders durable in %s: syncfs %.3f s; each file and folder %.3f s; "
              "syncfs / each: %.3f\n", root.c_str(), Median(one), Median(each), Median(one) / Median(each));
  testsupport::RemoveTree(root);
  return 0;
}

// 20,000 small files in one package against tar xjf + sync of the same files, on tmpfs or a disk.
int SmallFiles(const std::string& bin, int repeat) {
  const char* dirEnv = std::getenv("NOLK_BENCH_DIR");
  const std::string place = dirEnv && *dirEnv ? std::filesystem::absolute(dirEnv).string() : "/dev/shm";
  const std::string work = place + "/nolk-small-bench";
  testsupport::RemoveTree(work);
  testsupport::UpdateChain chain;
  chain.versions = {"2.1.14", "2.1.15"};
  for (int v = 0; v < 2; ++v) {
    chain.trees.push_back(work + "/trees/" + chain.versions[v]);
    testsupport::MakeDirs(chain.trees.back() + "/var/gac");
    testsupport::MakeDirs(chain.trees.back() + "/bin");
    testsupport::WriteFile(chain.trees.back() + "/var/gac/update.ini", testsupport::UpdateIniText(chain.versions[v]));
  }
  std::mt19937 rng(20000);
  for (int i = 0; i < 20000; ++i) {
    const std::string folder =
        chain.trees[1] + "/data/d" + std::to_string(i % 100) + "/s" + std::to_string(i / 1000);
    testsupport::MakeDirs(folder);
    testsupport::WriteFile(folder + "/f" + std::to_string(i) + ".txt",
                           testsupport::RandomBytes(100 + rng() % 2901, 31 * static_cast<std::uint32_t>(i)));
  }
  std::string md5, error;
  const std::string pkg = work + "/packages/nolk-2.1.15.pkg";
  testsupport::MakeDirs(work + "/packages");
  if (!testsupport::BuildChainPackage(chain.trees[0], chain.trees[1], "2.1.15", pkg, &md5, &error)) {
    std::fprintf(stderr, "run_bench: %s\n", error.c_str());
    return 1;
  }
  chain.packages.push_back(pkg);
  chain.md5s.push_back(md5);
  const std::string tarball = work + "/files.tar.bz2";
  if (Shell("tar -C '" + chain.trees[1] + "' -cjf '" + tarball + "' data") != 0) return 1;
  testsupport::HttpTestServer server;
  server.SetDefault(testsupport::HttpAnswer::Ok(""));
  server.SetAnswer("/list", testsupport::HttpAnswer::Ok(chain.ListBody()));
  std::vector<double> runs, floors;
  for (int k = 0; k < repeat; ++k) {
    const std::string out = work + "/tar";
    testsupport::RemoveTree(out);
    testsupport::MakeDirs(out);
    Clock::time_point f0 = Clock::now();
    Shell("tar -C '" + out + "' -xjf '" + tarball + "' && sync -f '" + out + "'");
    floors.push_back(Seconds(f0, Clock::now()));
    const double t = TimedRun(chain, work, bin, server, false, "", nullptr);
    if (t < 0) return 1;
    runs.push_back(t);
    std::printf("  round %d: run %.2f s, tar xjf + sync %.2f s\n", k + 1, runs.back(), floors.back());
    std::fflush(stdout);
  }
  std::printf("20,000 files of 100-3,000 bytes in %s: run %.2f s; tar xjf + sync %.2f s; run / tar: %.3f "
              "(target <= 1.0 on tmpfs, <= 1.1 on a disk); time in flushes: %.3f s\n",
              place.c_str(), Median(runs), Median(floors), Median(runs) / Median(floors),
              BarrierSeconds(chain, work, bin, server));
  testsupport::RemoveTree(work);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int mib = 300, repeat = 3;
  bool keep = false, small = false, wine = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mib" && i + 1 < argc)
      mib = std::atoi(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc)
      repeat = std::atoi(argv[++i]);
    else if (a == "--keep")
      keep = true;
    else if (a == "--small-files")
      small = true;
    else if (a == "--wine")
      wine = true;
    else if (a == "--barriers")
      return Barriers(repeat);
  }
  const char* binEnv = std::getenv(wine ? "NOLK_WIN64_BIN_DIR" : "NOLK_BIN_DIR");
  const std::string bin = std::filesystem::absolute(binEnv ? binEnv : wine ? "build/win64/bin" : "build/native-release/bin").string();
  if (small) return SmallFiles(bin, repeat);
  const char* dirEnv = std::getenv("NOLK_BENCH_DIR");
  const std::string work =
      std::filesystem::absolute(std::string(dirEnv && *dirEnv ? dirEnv : "/tmp") + "/nolk-run-bench").string();
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

  const int cores = Cores();
  if (wine) {
    // The Windows build against its own one-thread decoding, turn about.
    std::vector<double> all, one;
    for (int k = 0; k < repeat; ++k) {
      const double a = TimedRun(chain, work, bin, server, true, "", nullptr);
      const double b = TimedRun(chain, work, bin, server, true, "1", nullptr);
      if (a < 0 || b < 0) return 1;
      all.push_back(a);
      one.push_back(b);
      std::printf("  round %d: %d threads %.2f s, one thread %.2f s\n", k + 1, cores, a, b);
      std::fflush(stdout);
    }
    std::printf("nolkpatch.exe under Wine, %d MiB of packages: %.2f s on %d threads, %.2f s on one; ratio %.3f\n", mib,
                Median(all), cores, Median(one), Median(all) / Median(one));
    if (!keep) testsupport::RemoveTree(work);
    return 0;
  }
  std::vector<double> runs, floors, parallelFloors;
  long peakKib = 0;
  for (int k = 0; k < repeat; ++k) {
    // The floors: two digests of every package, and every body decompressed into a file.
    const std::string out = work + "/floor";
    const std::string md5s = "md5sum" + packagesArg + " >/dev/null && md5sum" + packagesArg + " >/dev/null";
    for (const std::string& decoder : {std::string("bzip2 -dc"), "lbzip2 -dc -n " + std::to_string(cores)}) {
      testsupport::MakeDirs(out);
      Clock::time_point f0 = Clock::now();
      Shell(md5s);
      for (std::size_t i = 0; i < chain.packages.size(); ++i)
        Shell("tail -c +13 '" + chain.packages[i] + "' | " + decoder + " >'" + out + "/" + std::to_string(i) +
              "' && sync -f '" + out + "'");
      (decoder[0] == 'b' ? floors : parallelFloors).push_back(Seconds(f0, Clock::now()));
      testsupport::RemoveTree(out);
    }
    const double t = TimedRun(chain, work, bin, server, false, "", &peakKib);
    if (t < 0) return 1;
    runs.push_back(t);
    std::printf("  round %d: run %.2f s, floor %.2f s, parallel floor %.2f s\n", k + 1, runs.back(), floors.back(),
                parallelFloors.back());
    std::fflush(stdout);
  }
  const double run = Median(runs), floor = Median(floors), pfloor = Median(parallelFloors);
  std::printf("whole run of %d MiB of packages on %d cores: %.2f s; floor (2x md5sum + bzip2 -dc to files): %.2f s; "
              "parallel floor (lbzip2 -dc -n %d): %.2f s\n",
              mib, cores, run, floor, cores, pfloor);
  std::printf("run / floor: %.3f (target <= 0.60)\n", run / floor);
  std::printf("run / parallel floor: %.3f (target <= 1.35)\n", run / pfloor);
  std::printf("time in flushes (one traced run): %.3f s\n", BarrierSeconds(chain, work, bin, server));
  std::printf("peak memory of the run: %.1f MiB (limit 64 MiB + 8 MiB x %d threads = %d MiB)\n", peakKib / 1024.0,
              cores, 64 + 8 * cores);
  if (!keep) testsupport::RemoveTree(work);
  return 0;
}
