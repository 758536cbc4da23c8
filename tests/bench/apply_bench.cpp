// Applying a package of about 200 MiB of file data (large and small files) against its floor,
// measured in the same run: `bzip2 -dc` of the same body into a file, plus writing the same bytes as
// the same files. Applying runs in a child process so that its peak memory is its own.
// Applies on 1, 2 (up to 8, as the machine has cores) decoding threads and prints a table of
// throughput, the ratio to the floor and the peak memory against 64 MiB + 8 MiB per thread.
//   apply_bench --big-file     the peak memory of applying one 512 MiB ADDF record, then one 512 MiB MODI record
#include <benchmark/benchmark.h>
#include <bzlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "package/bz_update_helper.h"
#include "package/obsolete_files.h"
#include "package/streamed_section.h"
#include "package/update_sec.h"
#include "platform/message_box.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"
#include "tools/nolkpack/pack_build.h"

namespace {

namespace fs = std::filesystem;

const VersionCode kVersion = 0x02010011;

struct BenchFile {
  std::string name;
  std::string bytes;
};

std::string BaseDir() {
  const char* dir = std::getenv("NOLK_BENCH_DIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/nolk-apply-bench";
}

// Game-like data: text and tables that compress well, mixed with stretches of noise.
std::string Content(std::size_t n, std::mt19937* rng) {
  static const char* const words[] = {"model", "texture", "0.125", "sound", "npc_", "quest", "\r\n",  "map",
                                      "=",     "1024",    "item",  "[",     "]",    "\t",    "skill", "0x7f"};
  std::string s;
  s.reserve(n);
  while (s.size() < n) {
    if ((*rng)() % 10 < 3) {
      for (int i = 0; i < 1024 && s.size() < n; ++i) s.push_back(static_cast<char>((*rng)()));
    } else {
      for (int i = 0; i < 256 && s.size() < n; ++i) s += words[(*rng)() % 16];
    }
  }
  s.resize(n);
  return s;
}

struct Fixture {
  std::vector<BenchFile> files;
  std::uint64_t totalBytes = 0;
  std::size_t largestRecord = 0;
  std::string package, body;

  Fixture() {
    std::mt19937 rng(2026);
    for (int i = 0; i < 4; ++i)
      files.push_back({"data/large/pak" + std::to_string(i) + ".pak", Content(32u << 20, &rng)});
    while (totalBytes + 128ull * 1024 * 1024 < 200ull * 1024 * 1024) {
      std::size_t n = 1024 + rng() % (80 * 1024);
      BenchFile f{"data/set" + std::to_string(files.size() % 30) + "/f" + std::to_string(files.size()) + ".dat",
                  Content(n, &rng)};
      totalBytes += n;
      files.push_back(std::move(f));
    }
    totalBytes = 0;
    std::vector<std::string> records;
    for (const BenchFile& f : files) {
      records.push_back(nolkpack::MakeRecord(kSectionAddf, 0, f.name, f.bytes));
      totalBytes += f.bytes.size();
      largestRecord = std::max(largestRecord, records.back().size());
    }
    fs::remove_all(BaseDir());
    fs::create_directories(BaseDir());
    package = BaseDir() + "/bench.pkg";
    std::string error;
    if (!nolkpack::WritePackage(package, kVersion, records, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
    body = BaseDir() + "/body.bz2";
    std::string cmd = "tail -c +13 '" + package + "' >'" + body + "'";
    if (std::system(cmd.c_str()) != 0) std::exit(1);
  }
};

Fixture& Data() {
  static Fixture f;
  return f;
}

std::map<std::string, double> peakRss;  // KiB, per benchmark

void Floor(benchmark::State& state) {
  Fixture& d = Data();
  const std::string out = BaseDir() + "/floor";
  const std::string cmd = "bzip2 -dc '" + d.body + "' >'" + BaseDir() + "/floor.bin'";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(out);
    fs::remove(BaseDir() + "/floor.bin");
    fs::create_directories(out);
    state.ResumeTiming();
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("bzip2 failed");
    for (const BenchFile& f : d.files) {
      fs::path p = fs::path(out) / f.name;
      fs::create_directories(p.parent_path());
      std::FILE* file = std::fopen(p.c_str(), "wb");
      if (!file || std::fwrite(f.bytes.data(), 1, f.bytes.size(), file) != f.bytes.size()) state.SkipWithError("write");
      if (file) std::fclose(file);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.totalBytes));
}

std::string ApplyName(std::int64_t threads) { return "Apply/" + std::to_string(threads); }

// Applying on the given number of decoding threads.
void Apply(benchmark::State& state) {
  Fixture& d = Data();
  const std::string root = BaseDir() + "/install";
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(root);
    fs::create_directories(root);
    state.ResumeTiming();
    testsupport::ProcessOptions o;
    o.argv = {self, "--apply-child", d.package, root + "/"};
    o.env = {{"NOLK_DECODE_THREADS", std::to_string(state.range(0))}};
    testsupport::ProcessResult r = testsupport::RunProcess(o);
    if (r.exitCode != 0) state.SkipWithError(("apply failed: " + r.err).c_str());
    double kib = std::atof(r.out.c_str());
    peakRss[ApplyName(state.range(0))] = std::max(peakRss[ApplyName(state.range(0))], kib);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.totalBytes));
}

BENCHMARK(Floor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(Apply)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->DenseRange(1, static_cast<int>(std::max(2u, std::min(8u, std::thread::hardware_concurrency()))));

// The apply phase's loop: read each section, write it.
int ApplyChild(const std::string& package, const std::string& root) {
  platform::SetMessageBoxHandler([](const platform::MessageBoxRequest& r) {
    std::fprintf(stderr, "box: %s\n", r.text.c_str());
    return static_cast<int>(platform::kIdCancel);
  });
  {
    BzUpdateHelper reader;
    if (!reader.Open(kVersion, "bench.pkg", package)) return 2;
    for (;;) {
      const unsigned char* s = reader.ReadSectionHead();
      const bool streamed = s && IsStreamedSection(s);
      if (s && !streamed) s = reader.ReadSectionRest();
      if (reader.IsEnd()) break;
      bool readFailed = false;
      if (!s || !(streamed ? ApplyStreamedSection(reader, "bench.pkg", root, s, nullptr, &readFailed)
                           : ApplyUpdateSec("bench.pkg", root, s)))
        return 3;
    }
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmHWM:") == 0) std::printf("%ld\n", std::atol(line.c_str() + 6));
  return 0;
}

class MinReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      const std::string name = r.run_name.function_name + (r.run_name.args.empty() ? "" : "/" + r.run_name.args);
      double t = r.GetAdjustedRealTime();
      if (!best.count(name) || t < best[name]) best[name] = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> best;
};

}  // namespace

// A package of one record of kind, fileLength and dataLength bytes of data, made by fill piece by piece.
bool WriteBigPackage(const std::string& package, std::uint32_t kind, std::uint32_t fileLength, std::uint32_t dataLength,
                     const std::function<std::string(std::mt19937*)>& fill) {
  std::FILE* f = std::fopen(package.c_str(), "wb");
  if (!f) return false;
  std::fwrite("ZBNR\x11\x00\x01\x02\0\0\0\0", 1, 12, f);
  int err = BZ_OK;
  BZFILE* bz = BZ2_bzWriteOpen(&err, f, 9, 0, 30);
  std::string head = nolkpack::MakeRecord(kind, fileLength, "data/big.dat", "");
  head.resize(head.size() - 4);
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<char>((dataLength >> (8 * i)) & 0xFF));
  BZ2_bzWrite(&err, bz, &head[0], static_cast<int>(head.size()));
  std::mt19937 rng(512);
  for (std::uint32_t done = 0; done < dataLength;) {
    std::string piece = fill(&rng);
    BZ2_bzWrite(&err, bz, &piece[0], static_cast<int>(piece.size()));
    done += static_cast<std::uint32_t>(piece.size());
  }
  BZ2_bzWrite(&err, bz, const_cast<char*>("t"), 1);
  BZ2_bzWriteClose(&err, bz, 0, nullptr, nullptr);
  std::fclose(f);
  return err == BZ_OK;
}

// One package holding one 512 MiB ADDF record and one holding a 512 MiB MODI record over the file
// it made, both written as a stream; the child's peak memory against the limit.
int BigFile() {
  fs::remove_all(BaseDir());
  fs::create_directories(BaseDir());
  const std::uint32_t size = 512u << 20;
  const std::uint32_t run = 1u << 20;  // each MODI run: its head and run - 8 bytes
  const std::uint32_t modiLength = size / run * (run - 8);
  const std::string addf = BaseDir() + "/big.pkg", modi = BaseDir() + "/modi.pkg";
  if (!WriteBigPackage(addf, kSectionAddf, 0, size, [](std::mt19937* rng) { return Content(1u << 20, rng); }) ||
      !WriteBigPackage(modi, kSectionModi, modiLength, size, [run](std::mt19937* rng) {
        return std::string("\0\0\0\0\xF8\xFF\x0F\0", 8) + Content(run - 8, rng);  // skip 0, run - 8 bytes
      }))
    return 1;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int threads : {1, cores}) {
    fs::remove_all(BaseDir() + "/install");
    fs::create_directories(BaseDir() + "/install");
    for (const auto& step : {std::make_pair(addf, size), std::make_pair(modi, modiLength)}) {
      testsupport::ProcessOptions o;
      o.argv = {self, "--apply-child", step.first, BaseDir() + "/install/"};
      o.env = {{"NOLK_DECODE_THREADS", std::to_string(threads)}, {"TMPDIR", BaseDir()}};
      o.timeoutSeconds = 900;
      testsupport::ProcessResult r = testsupport::RunProcess(o);
      if (r.exitCode != 0 || fs::file_size(BaseDir() + "/install/data/big.dat") != step.second) {
        std::fprintf(stderr, "apply failed: %s\n", r.err.c_str());
        return 1;
      }
      std::printf("one 512 MiB %s record, %d threads: peak memory %.1f MiB (limit 64 MiB + 8 MiB x %d = %d MiB)\n",
                  step.first == addf ? "ADDF" : "MODI", threads, std::atof(r.out.c_str()) / 1024.0, threads,
                  64 + 8 * threads);
      std::fflush(stdout);
    }
  }
  fs::remove_all(BaseDir());
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--apply-child") return ApplyChild(argv[2], argv[3]);
  if (argc == 2 && std::string(argv[1]) == "--big-file") return BigFile();
  benchmark::Initialize(&argc, argv);
  MinReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& b = reporter.best;
  Fixture& d = Data();
  std::printf("file data %.1f MiB in %zu files, package %.1f MiB\n", d.totalBytes / 1048576.0, d.files.size(),
              static_cast<double>(fs::file_size(d.package)) / 1048576.0);
  std::printf("threads | apply MiB/s | time / floor (bzip2 -dc + writing) | peak memory MiB (limit)\n");
  for (int t = 1; t <= 8; ++t) {
    const std::string name = ApplyName(t);
    if (!b.count(name) || !b.count("Floor")) continue;
    std::printf("%7d | %11.1f | %34.3f | %.1f (%d)\n", t, d.totalBytes / 1048576.0 / (b[name] / 1000.0),
                b[name] / b["Floor"], peakRss[name] / 1024.0, 64 + 8 * t);
  }
  fs::remove_all(BaseDir());
  return 0;
}
