// MD5 (RFC 1321) of whole files, as 32 lower-case hexadecimal digits.
#pragma once
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
  // Digests the file and writes its text into Digest(). Raises CLumException when it cannot be opened.
  void MDFile(const std::string& path, std::uint32_t chunkSize);
  char* Digest() { return digest_; }

 private:
  char digest_[33];
};

}  // namespace LumCommon

// The digest of a file in one process-wide buffer, valid until the next call: copy it at once.
const char* GetFileMD5(const std::string& path, std::uint32_t chunkSize);
