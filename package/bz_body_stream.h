// The decompressed body of a package, read forward with the statuses of the bzip2 library's stdio
// reader. With more than one thread the stream is split at its block starts and the blocks are
// decoded side by side; the bytes, the statuses and the places where they come are the same as
// when it is decoded on one thread, for any input: a block's bytes are handed out only once its CRC
// has passed, so a block start found by chance never lets a wrong byte through. Memory stays
// bounded whatever the input.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

class BzBodyStream {
 public:
  // threads: how many blocks are decoded at once; 1 or fewer decodes on the caller's thread.
  explicit BzBodyStream(int threads);
  ~BzBodyStream();
  BzBodyStream(const BzBodyStream&) = delete;
  BzBodyStream& operator=(const BzBodyStream&) = delete;

  // file stands at the first byte of the bzip2 stream and stays open while the stream is read.
  // BZ_OK, or what the library's reader would answer on opening (BZ_IO_ERROR, BZ_MEM_ERROR, ...).
  int Open(std::FILE* file);

  // Up to len bytes into buf; *got is how many. The status is BZ_STREAM_END on the read that
  // reaches the last byte, BZ_SEQUENCE_ERROR afterwards, an error status (with *got 0) on the read
  // that reaches a fault, else BZ_OK. A read may come back with fewer bytes and BZ_OK once wait has
  // passed, so that the caller can keep its window alive; it simply reads on.
  int Read(unsigned char* buf, std::size_t len, std::size_t* got, std::chrono::milliseconds wait);

  // One per core, at least one; NOLK_DECODE_THREADS (1 to 64) overrides it.
  static int DefaultThreads();

  class Source;
  enum class Event { kPiece, kEnd, kError, kTruncated, kIdle, kFallback };

 private:
  using Clock = std::chrono::steady_clock;
  // Next piece or terminal event into the slot; kIdle when the deadline passed first.
  Event Next(std::vector<unsigned char>* piece, Clock::time_point deadline);
  int Terminal() const;

  int threads_;
  std::FILE* file_;
  long bodyStart_;
  std::unique_ptr<Source> source_;
  bool serial_;
  std::uint64_t pulled_;  // bytes taken from the source so far

  std::vector<unsigned char> cur_;
  std::size_t curAt_;
  std::vector<unsigned char> next_;
  bool haveNext_;
  Event terminal_;  // kPiece while the stream goes on
  int error_;
  bool reported_;
};
