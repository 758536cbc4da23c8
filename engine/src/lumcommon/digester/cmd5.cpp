#include "engine/src/lumcommon/digester/cmd5.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/src/lumcommon/lum_exception.h"
#include "engine/src/lumcommon/lum_new_delete.h"
#include "platform/large_file.h"
#include "platform/stdio_file.h"

namespace LumCommon {
namespace {

inline std::uint32_t Load32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

inline std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The four rounds, with the usual equivalent forms of F and G that need one operation less.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, s) \
  (a) += f((b), (c), (d)) + (x) + (t);   \
  (a) = Rotl((a), (s)) + (b)

void Transform(std::uint32_t state[4], const unsigned char* block, std::size_t blocks) {
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, block += 64) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Load32(block + 4 * i);
    const std::uint32_t aa = a, bb = b, cc = c, dd = d;

    MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

    MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
    MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
    MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
    MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

    MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

    MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
#undef MD5_STEP

}  // namespace

void MD5Init(MD5Context* ctx) {
  ctx->count[0] = ctx->count[1] = 0;
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
}

void MD5Update(MD5Context* ctx, const unsigned char* input, std::size_t length) {
  std::size_t index = (ctx->count[0] >> 3) & 0x3F;
  // The bit count is 64 bits over two words, as in the reference code, but fed from a size_t.
  std::uint64_t bits = (static_cast<std::uint64_t>(ctx->count[1]) << 32) | ctx->count[0];
  bits += static_cast<std::uint64_t>(length) << 3;
  ctx->count[0] = static_cast<std::uint32_t>(bits);
  ctx->count[1] = static_cast<std::uint32_t>(bits >> 32);

  std::size_t partLen = 64 - index;
  std::size_t i = 0;
  if (length >= partLen) {
    if (index != 0) {
      std::memcpy(&ctx->buffer[index], input, partLen);
      Transform(ctx->state, ctx->buffer, 1);
      i = partLen;
      index = 0;
    }
    std::size_t blocks = (length - i) / 64;
    if (blocks > 0) {
      Transform(ctx->state, input + i, blocks);
      i += blocks * 64;
    }
  }
  if (length > i) std::memcpy(&ctx->buffer[index], input + i, length - i);
}

void MD5Final(unsigned char digest[16], MD5Context* ctx) {
  static const unsigned char padding[64] = {0x80};
  unsigned char bits[8];
  for (int i = 0; i < 4; ++i) {
    bits[i] = static_cast<unsigned char>(ctx->count[0] >> (8 * i));
    bits[4 + i] = static_cast<unsigned char>(ctx->count[1] >> (8 * i));
  }
  std::size_t index = (ctx->count[0] >> 3) & 0x3f;
  std::size_t padLen = (index < 56) ? (56 - index) : (120 - index);
  MD5Update(ctx, padding, padLen);
  MD5Update(ctx, bits, 8);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(ctx->state[i] >> (8 * j));
  std::memset(ctx, 0, sizeof *ctx);
}

CMD5::CMD5() { std::memset(digest_, 0, sizeof digest_); }

void CMD5::MDFile(const std::string& path, std::uint32_t chunkSize, const std::atomic<bool>* stop) {
  MD5Context ctx;
  MD5Init(&ctx);
  if (chunkSize == 0) chunkSize = kDefaultChunk;

  std::FILE* file = platform::OpenStdFile(path, "rb");
  // Some systems open a folder for reading and fail its first read; Windows refuses the open. A
  // folder has no digest on either.
  if (file && std::fgetc(file) == EOF && std::ferror(file)) {
    std::fclose(file);
    file = nullptr;
  }
  if (!file) {
    throw CLumException("md5:文件不存在" + path + ".", "engine/src/lumcommon/digester/cmd5", __DATE__, __TIME__,
                        "LumCommon::CMD5::MDFile");
  }
  std::rewind(file);

  // Sizes are 64-bit, so files of 4 GiB and more get their true digest; and only the bytes a read
  // really delivered are fed, so a file that shrinks meanwhile never adds stale buffer bytes.
  std::uint64_t size = platform::StdFileSize(file);
  std::uint64_t bufSize = (chunkSize >= size) ? size : chunkSize;
  unsigned char* buffer = LUM_NEW_ARRAY(unsigned char, bufSize, "LumCommon/MD5");
  // Each piece is read in slices that are digested at once, while they are still in the cache.
  const std::size_t kSlice = 256u << 10;
  std::uint64_t remaining = size;
  bool shortRead = false;
  bool stopped = false;
  while (remaining > 0 && !shortRead) {
    if (stop && stop->load()) {
      stopped = true;
      break;
    }
    std::size_t piece = static_cast<std::size_t>(remaining > bufSize ? bufSize : remaining);
    for (std::size_t off = 0; off < piece;) {
      std::size_t want = piece - off < kSlice ? piece - off : kSlice;
      std::size_t got = std::fread(buffer + off, 1, want, file);
      MD5Update(&ctx, buffer + off, got);
      off += got;
      if (got < want) {
        shortRead = true;
        break;
      }
    }
    remaining -= piece;
  }

  unsigned char digest[16];
  MD5Final(digest, &ctx);
  if (!stopped) {
    for (int i = 0; i < 16; ++i) std::snprintf(digest_ + 2 * i, 3, "%02x", digest[i]);
    digest_[32] = '\0';
  }

  LUM_DELETE_ARRAY(buffer);
  std::fclose(file);
}

}  // namespace LumCommon

const char* GetFileMD5(const std::string& path, std::uint32_t chunkSize, const std::atomic<bool>* stop) {
  static LumCommon::CMD5* instance = nullptr;
  static std::once_flag once;
  std::call_once(once, [] { instance = new LumCommon::CMD5(); });
  std::memset(instance->Digest(), 0, 33);
  instance->MDFile(path, chunkSize, stop);
  return instance->Digest();
}
