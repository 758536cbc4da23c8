// Our MD5 against OpenSSL's on one buffer, and GetFileMD5 against md5sum on one 256 MiB file.
// Prints the throughput ratios at the end (ours / baseline; 1.0 means as fast).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "tests/support/test_files.h"

namespace {

const std::size_t kBufferSize = 64u << 20;
const std::uint64_t kFileSize = 256ull << 20;

const std::string& Buffer() {
  static const std::string buf = testsupport::RandomBytes(kBufferSize, 1);
  return buf;
}

std::string FilePath() {
  static std::string path;
  if (path.empty()) {
    const char* dir = std::getenv("NOLK_BENCH_DIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/nolk-md5-bench.bin";
    testsupport::WriteRandomFile(path, kFileSize, 2);
  }
  return path;
}

void OursBuffer(benchmark::State& state) {
  const std::string& buf = Buffer();
  for (auto _ : state) {
    LumCommon::MD5Context ctx;
    LumCommon::MD5Init(&ctx);
    LumCommon::MD5Update(&ctx, reinterpret_cast<const unsigned char*>(buf.data()), buf.size());
    unsigned char d[16];
    LumCommon::MD5Final(d, &ctx);
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buf.size()));
}

void OpenSslBuffer(benchmark::State& state) {
  const std::string& buf = Buffer();
  for (auto _ : state) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(buf.data(), buf.size(), d, &n, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buf.size()));
}

void OursFile(benchmark::State& state) {
  const std::string path = FilePath();
  for (auto _ : state) benchmark::DoNotOptimize(GetFileMD5(path, 10485760));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
}

void Md5sumFile(benchmark::State& state) {
  const std::string cmd = "md5sum '" + FilePath() + "' >/dev/null";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("md5sum failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
}

// Alternate the pairs so that a busy moment of the machine hits both sides alike.
BENCHMARK(OursBuffer)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(OpenSslBuffer)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(OursFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(Md5sumFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.aggregate_name == "median") medians[r.run_name.function_name] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& m = reporter.medians;
  // Time per iteration is inverse to throughput: ratio = baseline time / our time.
  if (m.count("OursBuffer") && m.count("OpenSslBuffer"))
    std::printf("md5 buffer throughput, ours / OpenSSL: %.3f (target >= 0.90)\n", m["OpenSslBuffer"] / m["OursBuffer"]);
  if (m.count("OursFile") && m.count("Md5sumFile"))
    std::printf("GetFileMD5 throughput, ours / md5sum: %.3f (target >= 0.90)\n", m["Md5sumFile"] / m["OursFile"]);
  std::remove(FilePath().c_str());
  return 0;
}
