// The signature parser and check on arbitrary bytes. The key and both signatures of the list were made
// once by the minisign tool (they are the seeds in corpus/list_signature). Whatever the input, only
// those signatures over that very list may verify: a forged signature or list never does.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "update/list_signature.h"

namespace {

const char kPublicKey[] = "RWRnI5FBuMnVQ0bPjti8LuDbmWgWLjOnXEwYU/kR9czDcL7EtNlGWUlA";
const char kList[] = "2.1.15 http://127.0.0.1/package/a.gac 0123456789abcdef0123456789abcdef\r\n";
const char kPrehashed[] =
    "untrusted comment: signature from minisign secret key\n"
    "RURnI5FBuMnVQ4xfVvRAppn4wR3zRbuip+EMb8lZ8Mr+/KKg3RY1IhYNotFrKyeVFl+WEIRh3XhFZOskxBe95DMugXuKhQ1WOgM=\n"
    "trusted comment: nolk 2.1.15\n"
    "zEXw6jW7YCl8qDMBbQpehOgkDd5lZoQSJ3339tBU8KeN+eh+Z+ulJAZcn3lQd1szuF3NOxjukbZBJejnj2sNDA==\n";
const char kLegacy[] =
    "untrusted comment: signature from minisign secret key\n"
    "RWRnI5FBuMnVQ/alfQjdGizaHBMUcsHFAeeq86MGH4tocC64Qn1BwwnX0QroSsXcmWxaJJijg1kTHgqrv1vlM4fF+8IF0KkpjAE=\n"
    "trusted comment: legacy\n"
    "DgN8USfqleLKW63gpzp173BIbXPvuyAXzqYtcM0sbLVJ6QrbNrRcDNQKXZIzN2nZ179HnPXbeeS7ZYlJ9E/iBA==\n";

bool Same(const ListSignature& a, const ListSignature& b) {
  return a.prehashed == b.prehashed && std::memcmp(a.signature, b.signature, sizeof a.signature) == 0 &&
         std::memcmp(a.globalSignature, b.globalSignature, sizeof a.globalSignature) == 0 &&
         a.trustedComment == b.trustedComment;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ListPublicKey key;
  static ListSignature prehashed, legacy;
  static const bool ready = ParseListPublicKey(kPublicKey, &key) && ParseListSignature(kPrehashed, &prehashed) &&
                            ParseListSignature(kLegacy, &legacy) &&
                            CheckListSignature(key, kList, kPrehashed) == SignatureCheck::kValid &&
                            CheckListSignature(key, kList, kLegacy) == SignatureCheck::kValid;
  if (!ready) std::abort();

  const std::string input(reinterpret_cast<const char*>(data), size);
  ListPublicKey other;
  ParseListPublicKey(input, &other);
  if (!input.empty() && input[0] == 'L') {
    // A list of its own beside the real signature: only the signed bytes pass.
    const std::string list = input.substr(1);
    if (CheckListSignature(key, list, kPrehashed) == SignatureCheck::kValid && list != kList) std::abort();
    return 0;
  }
  ListSignature parsed;
  const bool parses = ParseListSignature(input, &parsed);
  const SignatureCheck check = CheckListSignature(key, kList, input);
  if (parses != (check != SignatureCheck::kMalformed)) std::abort();
  if (check == SignatureCheck::kValid && !Same(parsed, prehashed) && !Same(parsed, legacy)) std::abort();
  return 0;
}
