#include "package/bz_body_stream.h"

#include <bzlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "package/work_queue.h"

namespace {

using Clock = std::chrono::steady_clock;
using Event = BzBodyStream::Event;

// Decoded bytes travel in pieces of this size: small enough that a block of long runs is streamed,
// large enough that the hand-over costs nothing.
const std::size_t kPieceSize = 256u << 10;
// A block's output is held until its CRC has been checked, so that a block start found by chance
// inside coded data never hands out a wrong byte. A block that expands beyond this is only checked
// by its worker, and the reader decodes it again itself, streaming.
const std::size_t kPiecesPerBlock = 16;
const std::size_t kInputChunk = 1u << 20;
// A level-9 block needs at most about 2.3 MB compressed; anything longer has no real block start in
// it, and the serial decoder, which streams, takes over.
const std::size_t kMaxBlockBytes = 3u << 20;

const std::uint64_t kBlockMagic = 0x314159265359ull;
const std::uint64_t kEndMagic = 0x177245385090ull;
const std::uint64_t kMagicMask = (1ull << 48) - 1;

struct Block {
  std::vector<unsigned char> wrapped;  // the block alone as a one-block stream
  std::uint32_t crc = 0;
  WorkQueue<std::vector<unsigned char>> out{kPiecesPerBlock};
  std::atomic<bool> ok{false};
  bool redo = false;  // checked, but too large to hold: the reader decodes `wrapped` once more
};

// Ends a decoder however its user leaves.
struct DecoderGuard {
  bz_stream* strm;
  ~DecoderGuard() {
    if (strm) BZ2_bzDecompressEnd(strm);
  }
};

// What the scanner hands the reader, in stream order.
struct Item {
  enum Kind { kBlock, kEnd, kGiveUp } kind = kGiveUp;
  std::shared_ptr<Block> block;
  std::uint32_t combinedCrc = 0;
};

// For every 16-bit value, the bit shifts at which it can be the second and third byte of a magic
// (low byte: block magic, high byte: end marker). A byte-wise table test keeps the scan at a
// small fraction of the decoding time.
struct MagicTable {
  unsigned short shifts[65536];
  MagicTable() {
    std::memset(shifts, 0, sizeof shifts);
    for (int s = 0; s < 8; ++s) {
      shifts[(kBlockMagic >> (24 + s)) & 0xFFFF] |= static_cast<unsigned short>(1u << s);
      shifts[(kEndMagic >> (24 + s)) & 0xFFFF] |= static_cast<unsigned short>(0x100u << s);
    }
  }
};
const MagicTable& Table() {
  static const MagicTable table;
  return table;
}

std::uint64_t Load64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}

// Bits [from, from + count) of src (bit 0 is the top bit of src[0]).
std::uint64_t Bits(const unsigned char* src, std::uint64_t from, int count) {
  std::uint64_t v = 0;
  for (int i = 0; i < count; ++i) {
    std::uint64_t b = from + static_cast<std::uint64_t>(i);
    v = v << 1 | ((src[b >> 3] >> (7 - (b & 7))) & 1u);
  }
  return v;
}

void PutBits(std::vector<unsigned char>* out, std::uint64_t* bitLen, std::uint64_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    if ((*bitLen & 7) == 0) out->push_back(0);
    if ((value >> i) & 1u) out->back() |= static_cast<unsigned char>(0x80u >> (*bitLen & 7));
    ++*bitLen;
  }
}

// "BZh" + level, the bits [from, to) of src, and an end marker whose combined CRC is the block's.
std::vector<unsigned char> WrapBlock(char level, const unsigned char* src, std::uint64_t from, std::uint64_t to,
                                     std::uint32_t crc) {
  const std::uint64_t count = to - from;
  std::vector<unsigned char> out;
  out.reserve(static_cast<std::size_t>(count / 8) + 20);
  out.push_back('B');
  out.push_back('Z');
  out.push_back('h');
  out.push_back(static_cast<unsigned char>(level));
  const unsigned char* p = src + (from >> 3);
  const unsigned shift = static_cast<unsigned>(from & 7);
  const std::size_t whole = static_cast<std::size_t>(count >> 3);
  const std::size_t at = out.size();
  out.resize(at + whole);
  if (shift == 0) {
    std::memcpy(out.data() + at, p, whole);
  } else {
    for (std::size_t i = 0; i < whole; ++i)
      out[at + i] = static_cast<unsigned char>(p[i] << shift | p[i + 1] >> (8 - shift));
  }
  std::uint64_t bitLen = static_cast<std::uint64_t>(out.size()) * 8;
  const int rest = static_cast<int>(count & 7);
  if (rest) PutBits(&out, &bitLen, Bits(src, from + (count & ~7ull), rest), rest);
  PutBits(&out, &bitLen, kEndMagic, 48);
  PutBits(&out, &bitLen, crc, 32);
  return out;
}

}  // namespace

class BzBodyStream::Source {
 public:
  virtual ~Source() = default;
  virtual Event Next(std::vector<unsigned char>* piece, int* error, Clock::time_point deadline) = 0;
};

namespace {

// One decoder over the whole stream, fed from the file: the library's own reading of the body.
class SerialSource : public BzBodyStream::Source {
 public:
  SerialSource(std::FILE* file, std::uint64_t skip) : file_(file), skip_(skip), in_(64u << 10) {
    std::memset(&strm_, 0, sizeof strm_);
    initStatus_ = BZ2_bzDecompressInit(&strm_, 0, 0);
  }
  ~SerialSource() override {
    if (initStatus_ == BZ_OK) BZ2_bzDecompressEnd(&strm_);
  }

  Event Next(std::vector<unsigned char>* piece, int* error, Clock::time_point deadline) override {
    if (initStatus_ != BZ_OK) {
      *error = initStatus_;
      return Event::kError;
    }
    if (pending_ != Event::kPiece) {
      *error = pendingError_;
      return pending_;
    }
    for (;;) {
      piece->resize(kPieceSize);
      std::size_t filled = 0;
      Event ended = Event::kPiece;
      while (filled < piece->size()) {
        if (strm_.avail_in == 0 && !eof_) {
          if (std::ferror(file_)) {
            *error = BZ_IO_ERROR;
            ended = Event::kError;
            break;
          }
          std::size_t n = std::fread(in_.data(), 1, in_.size(), file_);
          if (n < in_.size()) eof_ = true;
          strm_.next_in = reinterpret_cast<char*>(in_.data());
          strm_.avail_in = static_cast<unsigned>(n);
        }
        strm_.next_out = reinterpret_cast<char*>(piece->data() + filled);
        strm_.avail_out = static_cast<unsigned>(piece->size() - filled);
        int ret = BZ2_bzDecompress(&strm_);
        filled = piece->size() - strm_.avail_out;
        if (ret == BZ_STREAM_END) {
          ended = Event::kEnd;
          break;
        }
        if (ret != BZ_OK) {
          *error = ret;
          ended = Event::kError;
          break;
        }
        if (strm_.avail_in == 0 && eof_ && strm_.avail_out > 0) {
          *error = BZ_UNEXPECTED_EOF;
          ended = Event::kTruncated;
          break;
        }
      }
      piece->resize(filled);
      if (skip_) {
        std::size_t drop = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, filled));
        piece->erase(piece->begin(), piece->begin() + static_cast<std::ptrdiff_t>(drop));
        skip_ -= drop;
      }
      if (ended != Event::kPiece) {
        // The bytes before the end come first; the end itself on the next call.
        if (!piece->empty()) {
          pending_ = ended;
          pendingError_ = *error;
          return Event::kPiece;
        }
        return ended;
      }
      if (!piece->empty()) return Event::kPiece;
      if (Clock::now() >= deadline) return Event::kIdle;
    }
  }

 private:
  std::FILE* file_;
  std::uint64_t skip_;
  std::vector<unsigned char> in_;
  bz_stream strm_;
  int initStatus_;
  bool eof_ = false;
  Event pending_ = Event::kPiece;
  int pendingError_ = BZ_OK;
};

// The stream split at its block starts: one thread scans the compressed bytes, the workers decode
// blocks side by side, and Next hands their output out in stream order. Anything it does not
// understand (a block that does not decode, a start found by chance, a wrong combined CRC, a
// truncated stream) ends it with kFallback at a block boundary: the serial decoder then goes on
// from there and meets the fault itself.
class ParallelSource : public BzBodyStream::Source {
 public:
  ParallelSource(std::FILE* file, int threads)
      : file_(file),
        items_(static_cast<std::size_t>(threads) + 1),
        jobs_(static_cast<std::size_t>(threads) * 2 + 2) {
    try {
      scanner_ = std::thread([this] { Scan(); });
      for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
    } catch (...) {
      // No more threads to be had: whatever started ends, and the caller decodes on its own.
      Stop();
      throw;
    }
  }

  ~ParallelSource() override {
    Stop();
    EndRedo();
  }

  Event Next(std::vector<unsigned char>* piece, int* error, Clock::time_point deadline) override {
    (void)error;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const auto wait = left.count() > 0 ? left : std::chrono::milliseconds(0);
      if (!current_) {
        Item item;
        QueueWait w = items_.PopFor(&item, wait);
        if (w == QueueWait::kTimeout) return Event::kIdle;
        if (w == QueueWait::kClosed || item.kind == Item::kGiveUp) return Event::kFallback;
        if (item.kind == Item::kEnd) return item.combinedCrc == combined_ ? Event::kEnd : Event::kFallback;
        current_ = item.block;
      }
      if (!finishing_ && !redoing_) {
        QueueWait w = current_->out.PopFor(piece, wait);
        if (w == QueueWait::kTimeout) return Event::kIdle;
        if (w == QueueWait::kItem) return Event::kPiece;
        if (!current_->ok) return Event::kFallback;
        if (current_->redo && !StartRedo()) return Event::kFallback;
      }
      if (redoing_) {
        const int ret = RedoPiece(piece);
        if (ret == BZ_OK) return Event::kPiece;
        EndRedo();
        if (ret != BZ_STREAM_END) return Event::kFallback;
        if (!piece->empty()) {
          // The block's last bytes now, its end on the next call.
          finishing_ = true;
          return Event::kPiece;
        }
      }
      finishing_ = false;
      combined_ = (combined_ << 1 | combined_ >> 31) ^ current_->crc;
      current_.reset();
    }
  }

 private:
  void Stop() {
    stop_ = true;
    items_.Close();
    jobs_.Close();
    Item item;
    while (items_.Pop(&item))
      if (item.block) item.block->out.Close();
    if (current_) current_->out.Close();
    if (scanner_.joinable()) scanner_.join();
    for (std::thread& t : workers_) t.join();
  }

  void Work() {
    std::shared_ptr<Block> block;
    while (!stop_ && jobs_.Pop(&block)) {
      try {
        Decode(*block);
      } catch (const std::bad_alloc&) {
        // The block stays unchecked: the reader goes serial there and meets the shortage itself.
        block->ok = false;
      }
      block->out.Close();
      block.reset();
    }
  }

  // Decodes the block whole and hands its pieces over only once its CRC has passed.
  void Decode(Block& block) {
    bz_stream strm;
    std::memset(&strm, 0, sizeof strm);
    if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return;
    DecoderGuard guard{&strm};
    strm.next_in = reinterpret_cast<char*>(block.wrapped.data());
    strm.avail_in = static_cast<unsigned>(block.wrapped.size());
    std::vector<std::vector<unsigned char>> held;
    std::vector<unsigned char> piece(kPieceSize);
    bool tooLarge = false;
    for (;;) {
      if (stop_) return;
      strm.next_out = reinterpret_cast<char*>(piece.data());
      strm.avail_out = static_cast<unsigned>(piece.size());
      int ret = BZ2_bzDecompress(&strm);
      const std::size_t filled = piece.size() - strm.avail_out;
      if (ret == BZ_STREAM_END) {
        piece.resize(filled);
        if (!tooLarge && !piece.empty()) held.push_back(std::move(piece));
        break;
      }
      if (ret != BZ_OK || (strm.avail_in == 0 && filled < piece.size())) return;
      if (tooLarge) continue;  // only the check is wanted now
      held.push_back(std::move(piece));
      if (held.size() == kPiecesPerBlock) {
        tooLarge = true;
        held.clear();
      }
      piece.assign(kPieceSize, 0);
    }
    if (tooLarge) {
      block.redo = true;
    } else {
      // Free the compressed bytes before handing the output over.
      std::vector<unsigned char>().swap(block.wrapped);
      for (std::vector<unsigned char>& p : held)
        if (!block.out.Push(std::move(p))) return;
    }
    block.ok = true;
  }

  // The reader's own decoding of a checked block too large to hold.
  bool StartRedo() {
    std::memset(&redo_, 0, sizeof redo_);
    if (BZ2_bzDecompressInit(&redo_, 0, 0) != BZ_OK) return false;
    redo_.next_in = reinterpret_cast<char*>(current_->wrapped.data());
    redo_.avail_in = static_cast<unsigned>(current_->wrapped.size());
    redoing_ = true;
    return true;
  }

  int RedoPiece(std::vector<unsigned char>* piece) {
    piece->resize(kPieceSize);
    redo_.next_out = reinterpret_cast<char*>(piece->data());
    redo_.avail_out = static_cast<unsigned>(piece->size());
    int ret = BZ2_bzDecompress(&redo_);
    piece->resize(piece->size() - redo_.avail_out);
    if (ret == BZ_OK && piece->empty()) ret = BZ_DATA_ERROR;  // no progress: not what was checked
    return ret;
  }

  void EndRedo() {
    if (!redoing_) return;
    BZ2_bzDecompressEnd(&redo_);
    redoing_ = false;
  }

  // Compressed bytes [base_, base_ + buf_.size()) of the stream; false at the end of the file.
  bool ReadMore() {
    if (eof_) return false;
    const std::size_t at = buf_.size();
    buf_.resize(at + kInputChunk);
    std::size_t n = std::fread(buf_.data() + at, 1, kInputChunk, file_);
    buf_.resize(at + n);
    if (n < kInputChunk) {
      eof_ = true;
      realEnd_ = base_ + buf_.size();
      // Zero bytes behind the end let the last windows be tested; a magic that reaches into
      // them is not taken.
      buf_.resize(buf_.size() + 8, 0);
    }
    return n > 0;
  }

  // The reader learns of a block before a worker does; whoever stops the split closes what the
  // reader holds, so no worker is left waiting on a block nobody reads.
  void Emit(Item item) {
    std::shared_ptr<Block> block = item.block;
    bool handed = false;
    try {
      handed = items_.Push(std::move(item)) && (!block || jobs_.Push(block));
    } catch (const std::bad_alloc&) {
    }
    if (!handed) {
      stop_ = true;
      // Unchecked: a reader that reaches it goes serial.
      if (block) block->out.Close();
    }
  }

  void GiveUp() {
    Item item;
    item.kind = Item::kGiveUp;
    Emit(std::move(item));
  }

  // The next magic at or after bit `from`; false at the end of the data or when a block gets too long.
  bool FindMagic(std::uint64_t from, std::uint64_t blockStart, std::uint64_t* bit, bool* isEnd) {
    const MagicTable& table = Table();
    std::uint64_t i = from >> 3;
    for (;;) {
      while (!eof_ && i + 8 > base_ + buf_.size())
        if (!ReadMore()) break;
      const std::uint64_t limit = base_ + buf_.size();
      if (i + 8 > limit) return false;
      const unsigned char* p = buf_.data();
      for (; i + 8 <= limit; ++i) {
        const std::size_t j = static_cast<std::size_t>(i - base_);
        unsigned short m = table.shifts[p[j + 1] << 8 | p[j + 2]];
        if (!m) continue;
        const std::uint64_t w = Load64(p + j);
        for (int s = 0; s < 8; ++s) {
          if (!(m & (0x101u << s))) continue;
          const std::uint64_t v = (w >> (16 - s)) & kMagicMask;
          const std::uint64_t at = i * 8 + static_cast<std::uint64_t>(s);
          if (at < from || at + 48 > (eof_ ? realEnd_ * 8 : ~0ull)) continue;
          if (v == kBlockMagic || v == kEndMagic) {
            *bit = at;
            *isEnd = v == kEndMagic;
            return true;
          }
        }
        if ((i - (blockStart >> 3)) > kMaxBlockBytes) return false;
      }
      if (eof_) return false;
    }
  }

  // The workers end as soon as the last block is theirs, not when the reader is done: the end of
  // a package is then not held up by threads that have nothing left to do.
  void Scan() {
    try {
      ScanBlocks();
    } catch (const std::bad_alloc&) {
      GiveUp();
    }
    // Whatever stopped the scan, a reader past the last item goes serial.
    items_.Close();
    jobs_.Close();
  }

  void ScanBlocks() {
    base_ = 0;
    while (!eof_ && buf_.size() < 4) ReadMore();
    if (buf_.size() < 4 || (eof_ && realEnd_ < 4) || buf_[0] != 'B' || buf_[1] != 'Z' || buf_[2] != 'h' ||
        buf_[3] < '1' || buf_[3] > '9')
      return GiveUp();
    const char level = static_cast<char>(buf_[3]);
    std::uint64_t start = 0;
    bool isEnd = false;
    if (!FindMagic(32, 32, &start, &isEnd) || start != 32) return GiveUp();
    while (!stop_) {
      if (eof_ && (start + 80) > realEnd_ * 8) return GiveUp();
      while (!eof_ && (start + 80 + 7) / 8 > base_ + buf_.size()) ReadMore();
      if ((start + 80 + 7) / 8 > base_ + buf_.size()) return GiveUp();
      const std::uint64_t baseBit = base_ * 8;
      const std::uint32_t crc = static_cast<std::uint32_t>(Bits(buf_.data(), start - baseBit + 48, 32));
      if (isEnd) {
        Item item;
        item.kind = Item::kEnd;
        item.combinedCrc = crc;
        return Emit(std::move(item));
      }
      // A block cannot be shorter than its magic and CRC, so no real start lies inside them.
      std::uint64_t next = 0;
      if (!FindMagic(start + 80, start, &next, &isEnd)) return GiveUp();
      auto block = std::make_shared<Block>();
      block->crc = crc;
      block->wrapped = WrapBlock(level, buf_.data(), start - baseBit, next - baseBit, crc);
      Item item;
      item.kind = Item::kBlock;
      item.block = std::move(block);
      Emit(std::move(item));
      start = next;
      // Keep only the bytes from the next block on.
      const std::uint64_t keep = start >> 3;
      if (keep > base_ && keep - base_ >= kInputChunk) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(keep - base_));
        base_ = keep;
      }
    }
  }

  std::FILE* file_;
  std::atomic<bool> stop_{false};
  WorkQueue<Item> items_;
  WorkQueue<std::shared_ptr<Block>> jobs_;
  std::thread scanner_;
  std::vector<std::thread> workers_;
  // Reader side.
  std::shared_ptr<Block> current_;
  std::uint32_t combined_ = 0;
  bz_stream redo_;
  bool redoing_ = false;
  bool finishing_ = false;
  // Scanner side.
  std::vector<unsigned char> buf_;
  std::uint64_t base_ = 0;
  bool eof_ = false;
  std::uint64_t realEnd_ = 0;
};

}  // namespace

int BzBodyStream::DefaultThreads() {
  if (const char* v = std::getenv("NOLK_DECODE_THREADS")) {
    int n = std::atoi(v);
    if (n >= 1 && n <= 64) return n;
  }
  unsigned cores = std::thread::hardware_concurrency();
  return cores ? static_cast<int>(std::min(cores, 64u)) : 1;
}

BzBodyStream::BzBodyStream(int threads)
    : threads_(threads),
      file_(nullptr),
      bodyStart_(0),
      serial_(true),
      pulled_(0),
      curAt_(0),
      haveNext_(false),
      terminal_(Event::kPiece),
      error_(BZ_OK),
      reported_(false) {}

BzBodyStream::~BzBodyStream() = default;

int BzBodyStream::Open(std::FILE* file) {
  if (std::ferror(file)) return BZ_IO_ERROR;
  bz_stream probe;
  std::memset(&probe, 0, sizeof probe);
  int status = BZ2_bzDecompressInit(&probe, 0, 0);
  if (status != BZ_OK) return status;
  BZ2_bzDecompressEnd(&probe);
  file_ = file;
  bodyStart_ = std::ftell(file);
  serial_ = threads_ <= 1;
  if (!serial_) {
    try {
      source_.reset(new ParallelSource(file_, threads_));
    } catch (const std::system_error&) {
      serial_ = true;
      std::fseek(file_, bodyStart_, SEEK_SET);
    }
  }
  if (serial_) source_.reset(new SerialSource(file_, 0));
  return BZ_OK;
}

Event BzBodyStream::Next(std::vector<unsigned char>* piece, Clock::time_point deadline) {
  for (;;) {
    int error = BZ_OK;
    const Event e = source_->Next(piece, &error, deadline);
    if (e == Event::kFallback) {
      // Everything handed out so far was checked block by block; the serial decoder goes over the
      // stream again, drops those bytes and meets whatever stopped the split itself.
      source_.reset();
      serial_ = true;
      std::fseek(file_, bodyStart_, SEEK_SET);
      std::clearerr(file_);
      source_.reset(new SerialSource(file_, pulled_));
      continue;
    }
    if (e == Event::kPiece) {
      pulled_ += piece->size();
      if (piece->empty()) continue;
    } else if (e != Event::kIdle) {
      terminal_ = e;
      error_ = error;
    }
    return e;
  }
}

int BzBodyStream::Terminal() const { return terminal_ == Event::kEnd ? BZ_STREAM_END : error_; }

int BzBodyStream::Read(unsigned char* buf, std::size_t len, std::size_t* got, std::chrono::milliseconds wait) {
  *got = 0;
  if (!source_) return BZ_SEQUENCE_ERROR;
  if (reported_) return terminal_ == Event::kEnd ? BZ_SEQUENCE_ERROR : error_;
  const Clock::time_point deadline = Clock::now() + wait;
  while (*got < len) {
    if (curAt_ == cur_.size()) {
      if (haveNext_) {
        cur_.swap(next_);
        haveNext_ = false;
      } else if (terminal_ != Event::kPiece) {
        // The stream ends inside this read.
        reported_ = true;
        if (terminal_ == Event::kEnd) return BZ_STREAM_END;
        *got = 0;
        return error_;
      } else {
        Event e = Next(&cur_, deadline);
        if (e == Event::kIdle) {
          cur_.clear();
          curAt_ = 0;
          return BZ_OK;
        }
        if (e != Event::kPiece) cur_.clear();
      }
      curAt_ = 0;
      continue;
    }
    const std::size_t n = std::min(len - *got, cur_.size() - curAt_);
    std::memcpy(buf + *got, cur_.data() + curAt_, n);
    curAt_ += n;
    *got += n;
  }
  // A read that ends exactly on the last byte reports the end (or a fault met right there);
  // a stream cut off there is only noticed by a read that wants more.
  if (curAt_ == cur_.size() && !haveNext_ && terminal_ == Event::kPiece) {
    Event e = Next(&next_, deadline);
    if (e == Event::kIdle) {
      // Not known yet: hold the last byte back, the caller reads it again.
      --curAt_;
      --*got;
      return BZ_OK;
    }
    haveNext_ = e == Event::kPiece;
    if (!haveNext_) next_.clear();
  }
  if (curAt_ == cur_.size() && !haveNext_ && terminal_ != Event::kPiece && terminal_ != Event::kTruncated) {
    reported_ = true;
    if (terminal_ == Event::kEnd) return BZ_STREAM_END;
    *got = 0;
    return error_;
  }
  return BZ_OK;
}
