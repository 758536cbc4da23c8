#include "tests/support/package_bytes.h"

#include <bzlib.h>

#include <vector>

namespace testsupport {

std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::string Record(const std::string& kindBytes, std::uint32_t fileLength, const std::string& name,
                   const std::string& data) {
  return kindBytes + Le32(fileLength) + Le32(static_cast<std::uint32_t>(name.size() + 1)) + name +
         std::string(1, '\0') + Le32(static_cast<std::uint32_t>(data.size())) + data;
}

std::string Run(std::uint32_t skip, const std::string& bytes) {
  return Le32(skip) + Le32(static_cast<std::uint32_t>(bytes.size())) + bytes;
}

std::string Bzip2(const std::string& body, int blockSize100k) {
  std::vector<char> out(body.size() + body.size() / 50 + 1024);
  unsigned int outLen = static_cast<unsigned int>(out.size());
  int rc = BZ2_bzBuffToBuffCompress(out.data(), &outLen, const_cast<char*>(body.data()),
                                    static_cast<unsigned int>(body.size()), blockSize100k, 0, 30);
  if (rc != BZ_OK) return std::string();
  return std::string(out.data(), outLen);
}

bool Bunzip2(const std::string& stream, std::size_t maxSize, std::string* out) {
  std::vector<char> buf(maxSize + 1);
  unsigned int len = static_cast<unsigned int>(buf.size());
  if (BZ2_bzBuffToBuffDecompress(buf.data(), &len, const_cast<char*>(stream.data()),
                                 static_cast<unsigned int>(stream.size()), 0, 0) != BZ_OK)
    return false;
  out->assign(buf.data(), len);
  return true;
}

std::string PackageBytes(std::uint32_t version, const std::string& body, std::uint32_t reserved) {
  return "ZBNR" + Le32(version) + Le32(reserved) + Bzip2(body);
}

}  // namespace testsupport
