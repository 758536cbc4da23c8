#include "update/list_signature.h"

#include <sodium.h>

#include <cstring>

namespace {

// What the minisign tool reads of a comment line: its buffer holds 1,023 bytes with the line end.
const std::size_t kMaxCommentLine = 1022;

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Decodes the standard padded base64 of exactly size bytes. Every character is checked first: the
// library's decoder takes bytes above 0x7F for "/", where the tool refuses the line.
bool DecodeExactly(const std::string& text, unsigned char* out, std::size_t size) {
  const std::size_t length = (size + 2) / 3 * 4, padding = (3 - size % 3) % 3;
  if (text.size() != length || sodium_init() < 0) return false;
  for (std::size_t i = 0; i < length; ++i)
    if (i < length - padding ? !IsBase64Char(text[i]) : text[i] != '=') return false;
  std::size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end, sodium_base64_VARIANT_ORIGINAL) !=
      0)
    return false;
  return decoded == size && end == text.data() + text.size();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The next line of text from *pos, without its line end (LF, CR LF, or a CR ending the text); false
// when no line is left.
bool NextLine(const std::string& text, std::size_t* pos, std::string* line) {
  if (*pos >= text.size()) return false;
  std::size_t end = text.find('\n', *pos);
  if (end == std::string::npos) end = text.size();
  *line = text.substr(*pos, end - *pos);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  *pos = end + 1;
  return true;
}

// A CR or NUL left inside a line is read otherwise by the tool, which cuts lines there.
bool IsCleanLine(const std::string& line) { return line.find_first_of(std::string("\r\0", 2)) == std::string::npos; }

bool TakePrefix(const std::string& line, const char* prefix, std::string* rest) {
  const std::size_t n = std::strlen(prefix);
  if (line.compare(0, n, prefix) != 0) return false;
  *rest = line.substr(n);
  return true;
}

bool ReadDecimal(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoull(text);
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

bool ParseListKeySetting(const std::string& text, ListKeySetting* out) {
  std::size_t end = 0;
  while (end < text.size() && IsBlank(text[end])) ++end;
  while (end < text.size() && !IsBlank(text[end])) ++end;
  *out = ListKeySetting();
  if (!ParseListPublicKey(text.substr(0, end), &out->key)) return false;
  for (std::size_t at = end; at < text.size();) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    std::size_t wordEnd = at;
    while (wordEnd < text.size() && !IsBlank(text[wordEnd])) ++wordEnd;
    const std::string word = text.substr(at, wordEnd - at);
    if (word == "legacy")
      out->legacy = true;
    else if (word == "untimed")
      out->untimed = true;
    else if (!word.empty())
      return false;
    at = wordEnd;
  }
  return true;
}

bool ParseListSignature(const std::string& text, ListSignature* out) {
  std::size_t pos = 0;
  std::string lines[4], rest;
  for (std::string& line : lines)
    if (!NextLine(text, &pos, &line) || !IsCleanLine(line)) return false;
  if (pos < text.size()) return false;
  // The tool's own limit, counted with the CR of a CR LF line end.
  if (text.find('\n') > kMaxCommentLine) return false;
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

TrustedComment ReadTrustedComment(const std::string& text) {
  TrustedComment c;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\t', at);
    if (end == std::string::npos) end = text.size();
    const std::string field = text.substr(at, end - at), value = field.substr(field.find(':') + 1);
    if (field.compare(0, 10, "timestamp:") == 0 && !c.hasTimestamp) {
      c.hasTimestamp = ReadDecimal(value, &c.timestamp);
    } else if (field.compare(0, 5, "file:") == 0 && !c.hasFile) {
      c.hasFile = true;
      c.file = value;
    } else if (field == "hashed") {
      c.hashed = true;
    }
    at = end + 1;
  }
  return c;
}

SignatureCheck CheckListSignature(const ListPublicKey& key, const std::string& data, const std::string& minisig,
                                  bool allowLegacy, TrustedComment* comment) {
  if (minisig.size() > kMaxSignatureFileBytes) return SignatureCheck::kTooLarge;
  ListSignature sig;
  if (sodium_init() < 0 || !ParseListSignature(minisig, &sig)) return SignatureCheck::kMalformed;
  if (std::memcmp(sig.keyId, key.keyId, sizeof key.keyId) != 0) return SignatureCheck::kOtherKey;
  // Taken as legacy, a prehashed signature with its algorithm bytes changed would verify over the 64
  // bytes of a digest: a list the operator never signed.
  if (!sig.prehashed && !allowLegacy) return SignatureCheck::kLegacy;

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
  // The operator's tool marks what it signed prehashed: such a signature offered as legacy is the
  // changed algorithm bytes again, even where legacy signatures are taken.
  const TrustedComment said = ReadTrustedComment(sig.trustedComment);
  if (said.hashed && !sig.prehashed) return SignatureCheck::kMismatch;
  if (comment) *comment = said;
  return SignatureCheck::kValid;
}

SignatureCheck CheckSignedList(const ListKeySetting& setting, const std::string& data, const std::string& minisig,
                               const std::string& fileName, std::uint64_t notBefore, std::uint64_t* signedAt) {
  TrustedComment said;
  *signedAt = 0;
  const SignatureCheck check = CheckListSignature(setting.key, data, minisig, setting.legacy, &said);
  if (check != SignatureCheck::kValid) return check;
  if ((!said.hasTimestamp || !said.hasFile) && !setting.untimed) return SignatureCheck::kUntimed;
  // Exactly: the name on a web server is case-sensitive, and a beta list must not pass for the live one.
  if (said.hasFile && said.file != fileName) return SignatureCheck::kOtherFile;
  if (said.hasTimestamp && said.timestamp < notBefore) return SignatureCheck::kOlder;
  if (said.hasTimestamp) *signedAt = said.timestamp;
  return SignatureCheck::kValid;
}
