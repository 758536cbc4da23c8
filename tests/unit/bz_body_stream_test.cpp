// The body decoder split over threads against the same decoder on one thread and against libbz2's
// own one-shot decoder: the same bytes, and for broken streams the same statuses at the same reads.
#include <gtest/gtest.h>
#include <bzlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "package/bz_body_stream.h"
#include "package/work_queue.h"
#include "tests/support/package_bytes.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"

// One allocation made off the test's own thread can be made to fail: the decoding threads' shortage.
namespace {
std::atomic<long> failAfter{-1};  // allocations off the test's thread to allow before one fails
std::thread::id testThread;
}  // namespace

void* operator new(std::size_t n) {
  if (failAfter.load() >= 0 && std::this_thread::get_id() != testThread && failAfter.fetch_sub(1) == 0)
    throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined: the compiler would take free() behind a new for a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Step {
  std::size_t got;
  int status;
  bool operator==(const Step& o) const { return got == o.got && status == o.status; }
};

struct Outcome {
  std::string bytes;
  std::vector<Step> steps;  // every read that did not come back early
  int last = BZ_OK;
};

// Reads the stream at `path` with reads of the sizes drawn from `seed`, until a status other
// than BZ_OK. Reads that came back early (wait passed) are folded into the next one, so that
// only the reader's view counts: how many bytes each requested read got and its status.
Outcome Decode(const std::string& path, int threads, std::uint32_t seed, std::size_t maxRead) {
  Outcome out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  {
    BzBodyStream stream(threads);
    out.last = stream.Open(f);
    std::mt19937 rng(seed), waits(seed + 1);
    std::vector<unsigned char> buf(maxRead);
    for (int guard = 0; out.last == BZ_OK && guard < 1000000; ++guard) {
      const std::size_t want = 1 + rng() % maxRead;
      std::size_t total = 0;
      int status = BZ_OK;
      while (total < want) {
        std::size_t n = 0;
        status = stream.Read(buf.data() + total, want - total, &n, std::chrono::milliseconds(waits() % 3));
        total += n;
        if (status != BZ_OK) break;
      }
      // As with the library's reader, a read that meets a fault delivers nothing.
      if (status != BZ_OK && status != BZ_STREAM_END) total = 0;
      out.bytes.append(reinterpret_cast<const char*>(buf.data()), total);
      out.steps.push_back({total, status});
      out.last = status;
    }
    if (out.last == BZ_STREAM_END) {
      std::size_t n = 7;
      EXPECT_EQ(stream.Read(buf.data(), 1, &n, std::chrono::milliseconds(0)), BZ_SEQUENCE_ERROR);
      EXPECT_EQ(n, 0u);
    }
  }
  std::fclose(f);
  return out;
}

// Bodies with what makes bzip2 streams differ: incompressible bytes, text, long runs.
std::string RandomBody(std::mt19937& rng, std::size_t size) {
  std::string s;
  s.reserve(size);
  while (s.size() < size) {
    const std::size_t n = std::min<std::size_t>(size - s.size(), 1 + rng() % 60000);
    switch (rng() % 3) {
      case 0:
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(rng()));
        break;
      case 1:
        for (std::size_t i = 0; i < n; ++i) s.push_back("etaoin shrdlu\n"[rng() % 14]);
        break;
      default:
        s.append(n, static_cast<char>(rng()));
        break;
    }
  }
  return s;
}

class BodyStream : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes) {
    std::string path = dir_.Path() + "/s" + std::to_string(++count_) + ".bz2";
    testsupport::WriteFile(path, bytes);
    return path;
  }
  testsupport::TempDir dir_;
  int count_ = 0;
};

TEST(WorkQueueTest, HandsOutInOrderWaitsWhenFullAndEndsOnClose) {
  WorkQueue<int> q(2);
  int v = 0;
  EXPECT_EQ(q.PopFor(&v, std::chrono::milliseconds(5)), QueueWait::kTimeout);
  std::thread producer([&q] {
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(q.Push(i));
    q.Close();
    EXPECT_FALSE(q.Push(100));
  });
  std::vector<int> seen;
  while (q.Pop(&v)) {
    seen.push_back(v);
    if (seen.size() % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  producer.join();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(q.PopFor(&v, std::chrono::milliseconds(5)), QueueWait::kClosed);

  // A producer waiting for room is released by Close.
  WorkQueue<int> full(1);
  ASSERT_TRUE(full.Push(1));
  std::thread blocked([&full] { EXPECT_FALSE(full.Push(2)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  full.Close();
  blocked.join();
  EXPECT_TRUE(full.Pop(&v));
  EXPECT_EQ(v, 1);
  EXPECT_FALSE(full.Pop(&v));
}

TEST_F(BodyStream, ValidStreamsOfEveryBlockSizeGiveTheBodyOnAnyThreadCount) {
  for (std::uint32_t seed = 1; seed <= 18; ++seed) {
    std::mt19937 rng(seed);
    const int level = 1 + static_cast<int>(seed % 9);
    // The last adds blocks that expand far beyond what is held for them.
    const std::string body = RandomBody(rng, rng() % 700000) + (seed == 18 ? std::string(9u << 20, 'z') : "");
    const std::string path = Write(testsupport::Bzip2(body, level));
    for (int threads : {1, 2, 4}) {
      Outcome o = Decode(path, threads, seed, 1 + rng() % 200000);
      EXPECT_EQ(o.last, BZ_STREAM_END) << "seed " << seed << " threads " << threads;
      EXPECT_TRUE(o.bytes == body) << "seed " << seed << " threads " << threads << ": " << o.bytes.size()
                                   << " bytes, expected " << body.size();
    }
  }
}

TEST_F(BodyStream, TheEndComesWithTheLastByteAndATruncationOnlyWithAReadThatWantsMore) {
  std::mt19937 rng(5);
  const std::string stream = testsupport::Bzip2(std::string(300000, 'q') + RandomBody(rng, 300000), 1);
  const std::string path = Write(stream);
  for (int threads : {1, 3}) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    {
      BzBodyStream s(threads);
      ASSERT_EQ(s.Open(f), BZ_OK);
      std::vector<unsigned char> buf(600000);
      std::size_t total = 0, n = 0;
      int status = BZ_OK;
      while (total < buf.size() && status == BZ_OK) {
        status = s.Read(buf.data() + total, buf.size() - total, &n, std::chrono::milliseconds(100));
        total += n;
      }
      EXPECT_EQ(status, BZ_STREAM_END) << threads;
      EXPECT_EQ(total, 600000u);
    }
    std::fclose(f);
  }
  // Cut off after the first of six blocks: a read up to there is fine, the next fails.
  std::string cut = stream.substr(0, stream.size() / 2);
  Outcome serial = Decode(Write(cut), 1, 9, 4096);
  Outcome parallel = Decode(Write(cut), 3, 9, 4096);
  EXPECT_EQ(serial.last, BZ_UNEXPECTED_EOF);
  EXPECT_TRUE(serial.steps == parallel.steps);
  EXPECT_TRUE(serial.bytes == parallel.bytes);
}

// Broken streams of every kind: the parallel reader must give what the serial one gives, read for
// read, and the serial one what libbz2 itself makes of the stream.
TEST_F(BodyStream, BrokenStreamsGiveTheSerialStatusesAtTheSameReads) {
  const std::uint64_t kBlockMagic = 0x314159265359ull;
  for (std::uint32_t seed = 100; seed < 160; ++seed) {
    std::mt19937 rng(seed);
    const int level = 1 + static_cast<int>(rng() % 3);
    const std::string body = RandomBody(rng, 150000 + rng() % 400000);
    std::string s = testsupport::Bzip2(body, level);
    const char* what = "";
    switch (seed % 5) {
      case 0:  // a flipped bit anywhere
        what = "flip";
        s[4 + rng() % (s.size() - 4)] ^= static_cast<char>(1u << (rng() % 8));
        break;
      case 1:  // cut off anywhere
        what = "cut";
        s.resize(rng() % s.size());
        break;
      case 2: {  // a false block start, at any bit offset, inside the compressed data
        what = "false magic";
        const std::uint64_t at = 80 + rng() % ((s.size() - 20) * 8);
        for (int k = 0; k < 48; ++k) {
          const std::uint64_t b = at + static_cast<std::uint64_t>(k);
          unsigned char& c = reinterpret_cast<unsigned char&>(s[static_cast<std::size_t>(b >> 3)]);
          const unsigned char bit = static_cast<unsigned char>(0x80u >> (b & 7));
          if ((kBlockMagic >> (47 - k)) & 1u)
            c = static_cast<unsigned char>(c | bit);
          else
            c = static_cast<unsigned char>(c & ~bit);
        }
        break;
      }
      case 3:  // a wrong combined CRC
        what = "combined crc";
        s[s.size() - 2] ^= 0x10;
        break;
      default:  // garbage behind the end is never read
        what = "trailing bytes";
        s += testsupport::Bzip2("another stream", 1) + "junk";
        break;
    }
    const std::string path = Write(s);
    const std::size_t maxRead = 1 + rng() % 70000;
    Outcome serial = Decode(path, 1, seed, maxRead);
    for (int threads : {2, 4}) {
      Outcome parallel = Decode(path, threads, seed, maxRead);
      EXPECT_EQ(parallel.last, serial.last) << what << ", seed " << seed;
      EXPECT_TRUE(parallel.steps == serial.steps)
          << what << ", seed " << seed << ": " << parallel.steps.size() << " reads against " << serial.steps.size()
          << "; last " << parallel.steps.back().got << "/" << parallel.steps.back().status << " against "
          << serial.steps.back().got << "/" << serial.steps.back().status << ", " << parallel.bytes.size()
          << " bytes against " << serial.bytes.size();
      EXPECT_TRUE(parallel.bytes == serial.bytes) << what << ", seed " << seed;
    }
    // libbz2's own verdict on the whole stream, and the bytes before a fault are the body's.
    std::string whole;
    const bool valid = testsupport::Bunzip2(s, body.size() + 16, &whole);
    EXPECT_EQ(serial.last == BZ_STREAM_END, valid) << what << ", seed " << seed;
    if (valid) {
      EXPECT_TRUE(serial.bytes == whole) << what << ", seed " << seed;
    }
  }
}

// Valid streams whose coded data hold a block magic by chance. Their decoded size and digest come
// from bzip2 -dc and md5sum; every thread count must give exactly those bytes.
TEST_F(BodyStream, AChanceMagicInsideAValidBlockNeverReachesTheReader) {
  const struct {
    const char* file;
    std::size_t size;
    const char* md5;
  } fixtures[] = {{"chance_magic.bz2", 1086802, "1d66856121d6f3502a8581707bf33653"}};
  for (const auto& fx : fixtures) {
    const std::string path = std::string(std::getenv("NOLK_SOURCE_DIR")) + "/tests/unit/data/" + fx.file;
    for (int threads : {1, 2, 8}) {
      for (std::uint32_t seed : {1u, 2u}) {
        Outcome o = Decode(path, threads, seed, 1 + seed * 70000);
        EXPECT_EQ(o.last, BZ_STREAM_END) << fx.file << ", " << threads << " threads";
        ASSERT_EQ(o.bytes.size(), fx.size) << fx.file << ", " << threads << " threads";
        const std::string out = Write(o.bytes);
        EXPECT_EQ(testsupport::ReferenceMd5(out), fx.md5) << fx.file << ", " << threads << " threads, seed " << seed;
      }
    }
  }
}

// A shortage on a scanning or decoding thread, wherever it strikes, ends in the serial reader.
TEST_F(BodyStream, AnAllocationFailureOnADecodingThreadGoesSerial) {
  std::mt19937 rng(31);
  const std::string body = RandomBody(rng, 1200000);
  const std::string path = Write(testsupport::Bzip2(body, 1));
  testThread = std::this_thread::get_id();
  for (long nth : {0L, 1L, 2L, 3L, 5L, 8L, 13L, 21L, 34L}) {
    failAfter = nth;
    Outcome o = Decode(path, 2, 4, 50000);
    const bool struck = failAfter.load() < 0;
    failAfter = -1;
    EXPECT_TRUE(struck) << "allocation " << nth << " never came";
    EXPECT_EQ(o.last, BZ_STREAM_END) << "allocation " << nth;
    EXPECT_TRUE(o.bytes == body) << "allocation " << nth << ": " << o.bytes.size() << " bytes";
  }
}

TEST_F(BodyStream, AStreamWithoutBlocksOrHeaderFailsLikeTheSerialReader) {
  for (const std::string& s : {std::string(), std::string("BZh9"), std::string("BZh0", 4), std::string("hello"),
                               testsupport::Bzip2("", 9)}) {
    const std::string path = Write(s);
    Outcome serial = Decode(path, 1, 1, 100);
    Outcome parallel = Decode(path, 2, 1, 100);
    EXPECT_EQ(serial.last, parallel.last) << s.size();
    EXPECT_TRUE(serial.steps == parallel.steps);
  }
  EXPECT_EQ(Decode(Write(testsupport::Bzip2("", 9)), 2, 1, 100).last, BZ_STREAM_END);
}

}  // namespace
