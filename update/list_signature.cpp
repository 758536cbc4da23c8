#include "update/list_signature.h"

#include <sodium.h>

#include <cstring>

namespace {

// Decodes standard padded base64 to exactly size bytes; nothing may be left over.
bool DecodeExactly(const std::string& text, unsigned char* out, std::size_t size) {
  if (text.empty() || sodium_init() < 0) return false;
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) !=
      0)
    return false;
  return length == size && end == text.data() + text.size();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The next line of text from *pos, without its line end; false when no line is left.
bool NextLine(const std::string& text, std::size_t* pos, std::string* line) {
  if (*pos >= text.size()) return false;
  std::size_t end = text.find('\n', *pos);
  if (end == std::string::npos) end = text.size();
  *line = text.substr(*pos, end - *pos);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  *pos = end + 1;
  return true;
}

bool TakePrefix(const std::string& line, const char* prefix, std::string* rest) {
  const std::size_t n = std::strlen(prefix);
  if (line.compare(0, n, prefix) != 0) return false;
  *rest = line.substr(n);
  return true;
}

}  // namespace

bool ParseListPublicKey(const std::string& base64Line, ListPublicKey* out) {
  std::size_t b = 0, e = base64Line.size();
  while (b < e && IsBlank(base64Line[b])) ++b;
  while (e > b && IsBlank(base64Line[e - 1])) --e;
  unsigned char raw[42];
  if (!DecodeExactly(base64Line.substr(b, e - b), raw, sizeof raw)) return false;
  if (raw[0] != 'E' || raw[1] != 'd') return false;
  std::memcpy(out->keyId, raw + 2, sizeof out->keyId);
  std::memcpy(out->key, raw + 10, sizeof out->key);
  return true;
}

bool ParseListSignature(const std::string& text, ListSignature* out) {
  std::size_t pos = 0;
  std::string lines[4], rest;
  for (std::string& line : lines)
    if (!NextLine(text, &pos, &line)) return false;
  if (pos < text.size()) return false;
  if (!TakePrefix(lines[0], "untrusted comment: ", &rest)) return false;
  unsigned char raw[74];
  if (!DecodeExactly(lines[1], raw, sizeof raw)) return false;
  if (raw[0] != 'E' || (raw[1] != 'd' && raw[1] != 'D')) return false;
  out->prehashed = raw[1] == 'D';
  std::memcpy(out->keyId, raw + 2, sizeof out->keyId);
  std::memcpy(out->signature, raw + 10, sizeof out->signature);
  if (!TakePrefix(lines[2], "trusted comment: ", &out->trustedComment)) return false;
  return DecodeExactly(lines[3], out->globalSignature, sizeof out->globalSignature);
}

SignatureCheck CheckListSignature(const ListPublicKey& key, const std::string& data, const std::string& minisig) {
  ListSignature sig;
  if (sodium_init() < 0 || !ParseListSignature(minisig, &sig)) return SignatureCheck::kMalformed;
  if (std::memcmp(sig.keyId, key.keyId, sizeof key.keyId) != 0) return SignatureCheck::kOtherKey;

  const unsigned char* message = reinterpret_cast<const unsigned char*>(data.data());
  unsigned long long messageSize = data.size();
  unsigned char digest[crypto_generichash_BYTES_MAX];
  if (sig.prehashed) {
    crypto_generichash(digest, sizeof digest, message, messageSize, nullptr, 0);
    message = digest;
    messageSize = sizeof digest;
  }
  if (crypto_sign_verify_detached(sig.signature, message, messageSize, key.key) != 0) return SignatureCheck::kMismatch;

  // The global signature covers the signature and the trusted comment, so neither can be swapped.
  std::string global(reinterpret_cast<const char*>(sig.signature), sizeof sig.signature);
  global += sig.trustedComment;
  if (crypto_sign_verify_detached(sig.globalSignature, reinterpret_cast<const unsigned char*>(global.data()),
                                  global.size(), key.key) != 0)
    return SignatureCheck::kMismatch;
  return SignatureCheck::kValid;
}
