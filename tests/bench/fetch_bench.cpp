// Fetching packages over loopback, against curl in the same run. Files are served by the tests'
// loopback server in this process, in 256 KiB pieces from the page cache.
//   fetch_bench [--mib N] [--repeat K]     one package of N MiB (500), each way in a child process:
//                                          the program's own fetch, the bare transfer with and
//                                          without a digest in the receiving thread, against curl -o
//                                          and md5sum; medians, time ratios and peak memories
//   fetch_bench --chain [--mib N] [--repeat K]
//                                          the whole run of nolkpatch fetching a chain of three
//                                          packages of about N MiB together (300) from an empty
//                                          var/gac, against curl of the three plus the same run
//                                          with the packages already there (NOLK_BIN_DIR)
//   fetch_bench --fetch URL FILE           one transfer as the program makes it; prints the digest
//   fetch_bench --fetch-package URL FILE MD5
//                                          the program's own fetch of one package (FetchPackage): side
//                                          file, digest on its thread, rename to FILE
//   fetch_bench --fetch-no-digest URL FILE the same without the digest, to show where the time goes
// NOLK_BENCH_DIR: where to work (default /tmp).
#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "package/package_fetch.h"
#include "platform/http_download.h"
#include "platform/stdio_file.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// What the fetch does with a body: the side file written piece by piece, its digest on the fly.
class SideFileSink : public platform::DownloadSink {
 public:
  SideFileSink(std::FILE* f, bool digest) : f_(f), digest_(digest) { LumCommon::MD5Init(&md5_); }
  bool OnHead(const platform::DownloadHead& head) override { return head.status == 200; }
  bool OnBody(const char* data, std::size_t size) override { return Take(data, size); }
  std::string Digest() {
    unsigned char d[16];
    LumCommon::MD5Final(d, &md5_);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
  }

 private:
  bool Take(const char* data, std::size_t size) {
    if (digest_) LumCommon::MD5Update(&md5_, reinterpret_cast<const unsigned char*>(data), size);
    return std::fwrite(data, 1, size, f_) == size;
  }

  std::FILE* f_;
  bool digest_;
  LumCommon::MD5Context md5_;
};

// The program's own fetch, as the worker calls it; FILE names the package, its side file lies beside it.
int FetchPackageOnce(const std::string& url, const std::string& out, const std::string& md5) {
  const std::size_t slash = out.rfind('/');
  const FetchResult r = FetchPackage(url, out.substr(0, slash), out.substr(slash + 1), md5, FetchSettings());
  if (r != FetchResult::kFetched) {
    std::fprintf(stderr, "fetch_bench: the package fetch failed\n");
    return 1;
  }
  std::printf("%s\n", md5.c_str());
  return 0;
}

int FetchOnce(const std::string& how, const std::string& url, const std::string& out) {
  std::FILE* f = platform::OpenStdFile(out, "wb");
  if (!f) return 2;
  std::unique_ptr<SideFileSink> sink(new SideFileSink(f, how == "--fetch"));
  platform::DownloadRequest request;
  request.url = url;
  request.agent = "nolkpatch";
  std::string reason;
  const platform::DownloadResult r = platform::HttpDownload(request, sink.get(), &reason);
  const bool closed = std::fclose(f) == 0;
  if (r != platform::DownloadResult::kComplete || !closed) {
    std::fprintf(stderr, "fetch_bench: transfer failed: %s\n", reason.c_str());
    return 1;
  }
  std::printf("%s\n", sink->Digest().c_str());
  return 0;
}

// One child's run: seconds (negative on failure) and peak memory.
double Timed(const std::vector<std::string>& argv, long* peakKib, std::string* out = nullptr,
             const std::string& cwd = "", const std::vector<std::pair<std::string, std::string>>& env = {}) {
  testsupport::ProcessOptions o;
  o.argv = argv;
  o.cwd = cwd;
  o.env = env;
  o.timeoutSeconds = 900;
  const Clock::time_point t0 = Clock::now();
  const testsupport::ProcessResult r = testsupport::RunProcess(o);
  const double t = std::chrono::duration<double>(Clock::now() - t0).count();
  if (peakKib) *peakKib = std::max(*peakKib, r.maxRssKib);
  if (out) *out = r.out;
  if (r.exitCode != 0) {
    std::fprintf(stderr, "fetch_bench: %s failed with %d: %s\n", argv[0].c_str(), r.exitCode, r.err.c_str());
    return -1;
  }
  return t;
}

std::string Md5sum(const std::string& path) {
  std::string out;
  Timed({"/usr/bin/md5sum", path}, nullptr, &out);
  return out.substr(0, 32);
}

std::string Self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

int OnePackage(const std::string& work, int mib, int repeat) {
  testsupport::MakeDirs(work + "/served");
  const std::string pkg = work + "/served/big.pkg";
  testsupport::WriteRandomFile(pkg, static_cast<std::uint64_t>(mib) << 20, 500);
  const std::string want = Md5sum(pkg);
  testsupport::HttpTestServer server;
  server.ServeDirectory(work + "/served");
  if (!server.Port()) return 1;
  const std::string url = server.Url("/big.pkg"), side = work + "/big.pkg.nolkpatch-part";
  const std::string fetched = work + "/big.pkg";
  // Turn about, each into a file of its own removed before, so none finds another's pages.
  const std::vector<std::vector<std::string>> ways = {{Self(), "--fetch", url, side},
                                                      {Self(), "--fetch-package", url, fetched, want},
                                                      {"/usr/bin/curl", "-s", "-f", "-o", side, url},
                                                      {Self(), "--fetch-no-digest", url, side}};
  std::vector<std::vector<double>> times(ways.size());
  std::vector<long> peaks(ways.size(), 0);
  for (int k = 0; k < repeat; ++k) {
    for (std::size_t w = 0; w < ways.size(); ++w) {
      std::string digest;
      std::remove(side.c_str());
      std::remove(fetched.c_str());
      const double t = Timed(ways[w], &peaks[w], &digest);
      const std::string& written = w == 1 ? fetched : side;
      const std::string sideMd5 = Md5sum(written);
      std::remove(written.c_str());
      if (t < 0) return 1;
      if (sideMd5 != want || (w < 2 && digest.substr(0, 32) != want)) {
        std::fprintf(stderr, "fetch_bench: %s: digests differ: served %s, on the fly %s, written %s\n",
                     ways[w][1].c_str(), want.c_str(), digest.c_str(), sideMd5.c_str());
        return 1;
      }
      times[w].push_back(t);
    }
    std::printf(
        "  round %d: transfer %.3f s, the program's package fetch %.3f s, curl -o %.3f s, "
        "transfer without the digest %.3f s\n",
        k + 1, times[0].back(), times[1].back(), times[2].back(), times[3].back());
    std::fflush(stdout);
  }
  const double curl = Median(times[2]);
  // The digest alone bounds any transfer that digests what it writes: md5sum of the same file, read from the cache.
  std::vector<double> sums;
  for (int k = 0; k < repeat; ++k) sums.push_back(Timed({"/usr/bin/md5sum", pkg}, nullptr));
  std::printf("md5sum of the same file (the digest's own time, for comparison): %.3f s, %.3f of curl -o\n",
              Median(sums), Median(sums) / curl);
  std::printf("%d MiB over loopback, medians of %d: curl -o %.3f s (%.0f MiB/s, peak memory %.1f MiB)\n", mib, repeat,
              curl, mib / curl, peaks[2] / 1024.0);
  const char* names[] = {"transfer + side file + MD5 in the receiving thread",
                         "the program's package fetch (FetchPackage: side file, MD5 on its thread, rename)"};
  for (std::size_t w = 0; w < 2; ++w)
    std::printf("%s: %.3f s (%.0f MiB/s), time ratio %.3f (target <= 1.10), peak memory %.1f MiB (target <= 32)\n",
                names[w], Median(times[w]), mib / Median(times[w]), Median(times[w]) / curl, peaks[w] / 1024.0);
  // Where the time goes: the same transfer and side file without the digest.
  std::printf("transfer + side file without the digest (for comparison): %.3f s, time ratio %.3f\n", Median(times[3]),
              Median(times[3]) / curl);
  return 0;
}

// Needs the fetching program (FetchPackages=1 in Url.ini, side files var/gac/<name>.nolkpatch-part).
int Chain(const std::string& work, const std::string& bin, int mib, int repeat) {
  std::printf("preparing a chain of about %d MiB of packages in %s ...\n", mib, work.c_str());
  std::fflush(stdout);
  testsupport::UpdateChain chain;
  std::string error;
  if (!testsupport::MakeUpdateChain(work, "2.1.14", 3, 12, 7, &chain, &error)) {
    std::fprintf(stderr, "fetch_bench: %s\n", error.c_str());
    return 1;
  }
  // Large files that every step rewrites, so the packages reach the size asked for.
  const std::uint64_t each = (static_cast<std::uint64_t>(mib) << 20) / 3;
  for (int v = 1; v < 4; ++v) {
    testsupport::WriteRandomFile(chain.trees[v] + "/data/big.dat", each, 900 + v);
    if (!testsupport::BuildChainPackage(chain.trees[v - 1], chain.trees[v], chain.versions[v], chain.packages[v - 1],
                                        &chain.md5s[v - 1], &error)) {
      std::fprintf(stderr, "fetch_bench: %s\n", error.c_str());
      return 1;
    }
  }
  testsupport::MakeDirs(work + "/served/package");
  for (std::size_t i = 0; i < chain.packages.size(); ++i)
    std::filesystem::copy_file(chain.packages[i], work + "/served/package/" + chain.PackageName(i),
                               std::filesystem::copy_options::overwrite_existing);
  testsupport::HttpTestServer listServer;
  listServer.ServeDirectory(work + "/served");
  const std::string prefix = listServer.Url("/package/");
  std::string list;
  for (std::size_t i = 0; i < chain.packages.size(); ++i)
    list += chain.versions[i + 1] + " " + prefix + chain.PackageName(i) + " " + chain.md5s[i] + "\r\n";
  listServer.SetAnswer("/list", testsupport::HttpAnswer::Ok(list));

  auto run = [&](bool fetch, long* peak) {
    const std::string game = work + "/game";
    testsupport::RemoveTree(game);
    testsupport::MakeInstallation(chain, game, bin, listServer.Url("/list"), listServer.Url("/query?"));
    if (fetch) {
      for (std::size_t i = 0; i < chain.packages.size(); ++i)
        std::remove((game + "/var/gac/" + chain.PackageName(i)).c_str());
      testsupport::WriteFile(
          game + "/var/gac/Url.ini",
          testsupport::UrlIniText(listServer.Url("/list"), listServer.Url("/query?")) + "FetchPackages=1\r\n");
    }
    testsupport::ProcessOptions o = testsupport::ProgramOptions(game, work);
    o.timeoutSeconds = 900;
    const double t = Timed(o.argv, peak, nullptr, o.cwd, o.env);
    if (t >= 0 && !testsupport::CompareTrees(chain.trees.back(), game, testsupport::InstallationOnly).empty()) {
      std::fprintf(stderr, "fetch_bench: the tree after the run is not the newest one\n");
      return -1.0;
    }
    return t;
  };
  std::vector<double> fetched, present, curls;
  long peak = 0;
  for (int k = 0; k < repeat; ++k) {
    const std::string out = work + "/curl";
    testsupport::RemoveTree(out);
    testsupport::MakeDirs(out);
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-f"};
    for (std::size_t i = 0; i < chain.packages.size(); ++i) {
      argv.push_back("-o");
      argv.push_back(out + "/" + chain.PackageName(i));
      argv.push_back(prefix + chain.PackageName(i));
    }
    const double c = Timed(argv, nullptr);
    const double p = run(false, nullptr);
    const double f = run(true, &peak);
    if (c < 0 || p < 0 || f < 0) return 1;
    curls.push_back(c);
    present.push_back(p);
    fetched.push_back(f);
    std::printf("  round %d: fetching run %.2f s; curl of the three %.2f s + run with them present %.2f s\n", k + 1, f,
                c, p);
    std::fflush(stdout);
  }
  const double floor = Median(curls) + Median(present);
  std::printf(
      "chain of three packages, %d MiB: fetching run %.2f s; curl %.2f s + present run %.2f s = %.2f s; "
      "ratio %.3f; peak memory of the fetching run %.1f MiB\n",
      mib, Median(fetched), Median(curls), Median(present), floor, Median(fetched) / floor, peak / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int mib = 0, repeat = 3;
  bool chain = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--fetch-package" && i + 3 < argc) return FetchPackageOnce(argv[i + 1], argv[i + 2], argv[i + 3]);
    if (a.compare(0, 7, "--fetch") == 0 && i + 2 < argc) return FetchOnce(a, argv[i + 1], argv[i + 2]);
    if (a == "--mib" && i + 1 < argc) {
      mib = std::atoi(argv[++i]);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (a == "--chain") {
      chain = true;
    }
  }
  if (mib <= 0) mib = chain ? 300 : 500;
  const char* dirEnv = std::getenv("NOLK_BENCH_DIR");
  const std::string work =
      std::filesystem::absolute(std::string(dirEnv && *dirEnv ? dirEnv : "/tmp") + "/nolk-fetch-bench").string();
  testsupport::RemoveTree(work);
  testsupport::MakeDirs(work);
  int r;
  if (chain) {
    const char* binEnv = std::getenv("NOLK_BIN_DIR");
    r = Chain(work, std::filesystem::absolute(binEnv ? binEnv : "build/native-release/bin").string(), mib, repeat);
  } else {
    r = OnePackage(work, mib, repeat);
  }
  testsupport::RemoveTree(work);
  return r;
}
