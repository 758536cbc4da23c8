// The signature check on arbitrary signature files and lists. The key and both signatures of kList were
// made by the minisign tool (the seeds in corpus/list_signature): nothing else may ever verify.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/list_signature.h"

namespace {
const char kKey[] = "RWRnI5FBuMnVQ0bPjti8LuDbmWgWLjOnXEwYU/kR9czDcL7EtNlGWUlA";
const char kList[] = "2.1.15 http://127.0.0.1/package/a.gac 0123456789abcdef0123456789abcdef\r\n";
const std::string kSignatures[] = {
    "RURnI5FBuMnVQ4xfVvRAppn4wR3zRbuip+EMb8lZ8Mr+/KKg3RY1IhYNotFrKyeVFl+WEIRh3XhFZOskxBe95DMugXuKhQ1WOgM=\n"
    "trusted comment: nolk 2.1.15\n"
    "zEXw6jW7YCl8qDMBbQpehOgkDd5lZoQSJ3339tBU8KeN+eh+Z+ulJAZcn3lQd1szuF3NOxjukbZBJejnj2sNDA==\n",
    "RWRnI5FBuMnVQ/alfQjdGizaHBMUcsHFAeeq86MGH4tocC64Qn1BwwnX0QroSsXcmWxaJJijg1kTHgqrv1vlM4fF+8IF0KkpjAE=\n"
    "trusted comment: legacy\n"
    "DgN8USfqleLKW63gpzp173BIbXPvuyAXzqYtcM0sbLVJ6QrbNrRcDNQKXZIzN2nZ179HnPXbeeS7ZYlJ9E/iBA==\n"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ListPublicKey key;
  static const bool seedsVerify =
      ParseListPublicKey(kKey, &key) &&
      CheckListSignature(key, kList, "untrusted comment: x\n" + kSignatures[0], false) == SignatureCheck::kValid &&
      CheckListSignature(key, kList, "untrusted comment: x\n" + kSignatures[1], false) == SignatureCheck::kLegacy &&
      CheckListSignature(key, kList, "untrusted comment: x\n" + kSignatures[1], true) == SignatureCheck::kValid;
  if (!seedsVerify) std::abort();
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (input.compare(0, 1, "L") == 0) {  // a list of its own beside a real signature
    for (const std::string& sig : kSignatures)
      if (CheckListSignature(key, input.substr(1), "untrusted comment: x\n" + sig, true) == SignatureCheck::kValid &&
          input.substr(1) != kList)
        std::abort();
    return 0;
  }
  ListSignature parsed;
  const SignatureCheck check = CheckListSignature(key, kList, input, true);
  const SignatureCheck strict = CheckListSignature(key, kList, input, false);
  if (input.size() > kMaxSignatureFileBytes && check != SignatureCheck::kTooLarge) std::abort();
  if (input.size() <= kMaxSignatureFileBytes &&
      ParseListSignature(input, &parsed) != (check != SignatureCheck::kMalformed))
    std::abort();
  // Only prehashed signatures pass without the legacy allowance.
  if (strict == SignatureCheck::kValid && (check != SignatureCheck::kValid || !parsed.prehashed)) std::abort();
  if (check != SignatureCheck::kValid) return 0;
  // Only an untrusted comment or the line ends may differ from the tool's signatures; the last line
  // may end in a CR alone, as the tool takes it.
  std::string rest = input.substr(input.find('\n') + 1);
  for (std::size_t cr; (cr = rest.find("\r\n")) != std::string::npos;) rest.erase(cr, 1);
  if (rest.back() == '\r') rest.back() = '\n';
  if (rest.back() != '\n') rest += '\n';
  if (rest != kSignatures[0] && rest != kSignatures[1]) std::abort();
  return 0;
}
