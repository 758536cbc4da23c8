// MD5 (RFC 1321) of whole files, as 32 lower-case hexadecimal digits.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace LumCommon {

// The RFC 1321 context: state, bit count (low word first), input block.
struct MD5Context {
  std::uint32_t state[4];
  std::uint32_t count[2];
  unsigned char buffer[64];
};

void MD5Init(MD5Context* ctx);
void MD5Update(MD5Context* ctx, const unsigned char* input, std::size_t length);
void MD5Final(unsigned char digest[16], MD5Context* ctx);

class CMD5 {
 public:
  CMD5();
  // Digests the file and writes its text into Digest(). Raises CLumException when it cannot be opened
  // or is a folder. A chunkSize of 0 reads pieces of kDefaultChunk bytes. When *stop becomes true the
  // reading ends between two pieces and Digest() stays as it was.
  void MDFile(const std::string& path, std::uint32_t chunkSize, const std::atomic<bool>* stop = nullptr);

  static constexpr std::uint32_t kDefaultChunk = 10485760;
  char* Digest() { return digest_; }

 private:
  char digest_[33];
};

}  // namespace LumCommon

// The digest of a file in one process-wide buffer, valid until the next call: copy it at once. An
// empty text when *stop became true before the digest was done.
const char* GetFileMD5(const std::string& path, std::uint32_t chunkSize, const std::atomic<bool>* stop = nullptr);
