// The body decoder split over threads against the same decoder on one thread. The first byte
// chooses the form: odd, the rest is a bzip2 stream as it stands; even, the rest is a body that is
// compressed (level from the second byte), and its last four bytes flip one bit of the stream, so
// mutations reach both valid streams and every kind of damage. Both must give the same bytes and
// the same statuses at the same reads.
#include <bzlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "package/bz_body_stream.h"

namespace {

const std::string& TempPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("NOLK_TEST_TMP");
    std::random_device rd;
    return std::string(dir && *dir ? dir : ".") + "/parallel-fuzz-" + std::to_string(rd()) + ".bz2";
  }();
  return path;
}

struct Outcome {
  std::string bytes;
  std::vector<std::pair<std::size_t, int>> steps;
};

Outcome Decode(int threads, std::uint32_t seed) {
  Outcome out;
  std::FILE* f = std::fopen(TempPath().c_str(), "rb");
  if (!f) std::abort();
  {
    BzBodyStream stream(threads);
    int status = stream.Open(f);
    std::mt19937 rng(seed);
    std::vector<unsigned char> buf(1 << 16);
    while (status == BZ_OK) {
      const std::size_t want = 1 + rng() % buf.size();
      std::size_t total = 0;
      while (total < want) {
        std::size_t n = 0;
        status = stream.Read(buf.data() + total, want - total, &n, std::chrono::milliseconds(20));
        total += n;
        if (status != BZ_OK) break;
      }
      if (status != BZ_OK && status != BZ_STREAM_END) total = 0;
      out.bytes.append(reinterpret_cast<const char*>(buf.data()), total);
      out.steps.emplace_back(total, status);
    }
  }
  std::fclose(f);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::string stream;
  if (data[0] & 1) {
    stream.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else {
    std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
    // Repeated with a counter, so that a small input still spans several blocks.
    std::string big;
    for (int i = 0; big.size() < 150000 && !body.empty(); ++i) big += body + std::to_string(i);
    std::vector<char> out(big.size() + big.size() / 50 + 1024);
    unsigned len = static_cast<unsigned>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &len, big.empty() ? nullptr : &big[0], static_cast<unsigned>(big.size()),
                                 1 + data[1] % 3, 0, 30) != BZ_OK)
      return 0;
    stream.assign(out.data(), len);
    if (size >= 6 && (data[size - 1] & 0x80)) {
      std::uint32_t at = static_cast<std::uint32_t>(data[size - 4] | data[size - 3] << 8 | data[size - 2] << 16);
      stream[at % stream.size()] ^= static_cast<char>(1u << (data[size - 1] & 7));
    }
  }
  std::FILE* f = std::fopen(TempPath().c_str(), "wb");
  if (!f) return 0;
  std::fwrite(stream.data(), 1, stream.size(), f);
  std::fclose(f);

  const std::uint32_t seed = data[0];
  const Outcome serial = Decode(1, seed);
  const Outcome split = Decode(2 + data[0] % 3, seed);
  if (serial.steps != split.steps || serial.bytes != split.bytes) std::abort();
  return 0;
}
