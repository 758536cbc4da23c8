#include "tests/support/reference_md5.h"

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <vector>
#else
#include "tests/support/child_process.h"
#endif

namespace testsupport {

#ifdef _WIN32
std::string ReferenceMd5(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string text;
  if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
      BYTE digest[16];
      DWORD size = sizeof digest;
      if (CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
          CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest) {
        static const char kHex[] = "0123456789abcdef";
        for (BYTE b : digest) {
          text += kHex[b >> 4];
          text += kHex[b & 15];
        }
      }
      CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
  }
  return text;
}
#else
std::string ReferenceMd5(const std::string& path) {
  ProcessOptions options;
  options.argv = {"/usr/bin/md5sum", "--", path};
  options.timeoutSeconds = 120;
  ProcessResult r = RunProcess(options);
  if (r.exitCode != 0 || r.out.size() < 32) return std::string();
  return r.out.substr(0, 32);
}
#endif

}  // namespace testsupport
