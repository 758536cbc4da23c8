// Update lists signed by the operator with minisign (Ed25519): the public key the program carries or
// Url.ini's ListKey names, and the signature file published beside the list. Nothing is taken that
// `minisign -V` refuses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct ListPublicKey {
  unsigned char keyId[8];
  unsigned char key[32];
};

// The base64 line of a minisign public key: "Ed", the key id, the Ed25519 key (42 bytes). Blanks around
// it are ignored; false for anything else, a character outside base64's alphabet included.
bool ParseListPublicKey(const std::string& base64Line, ListPublicKey* out);

// The operator's key setting (Url.ini's ListKey, or the text the program carries): the key's base64 line,
// then optionally words that also take lists signed the old way: "legacy" takes minisign's legacy
// signatures (-l), which sign the list's bytes rather than its digest; "untimed" takes a trusted
// comment without the timestamp and file name minisign writes (a list signed with -t TEXT).
struct ListKeySetting {
  ListPublicKey key;
  bool legacy = false;
  bool untimed = false;
};
bool ParseListKeySetting(const std::string& text, ListKeySetting* out);

// Larger than any signature file minisign writes (its comments are limited): a bigger one is refused
// before it is read.
const std::size_t kMaxSignatureFileBytes = 8192;

struct ListSignature {
  bool prehashed = false;  // "ED": signs the BLAKE2b-512 digest of the file; "Ed": the file itself
  unsigned char keyId[8] = {};
  unsigned char signature[64] = {};
  std::string trustedComment;  // the text after "trusted comment: "
  unsigned char globalSignature[64] = {};
};

// The four lines of a signature file (LF line ends; a CR before one, or ending the last line, is
// dropped, as the minisign tool does). False when a line is missing or malformed, longer than the tool
// reads, or text follows the fourth.
bool ParseListSignature(const std::string& text, ListSignature* out);

// What minisign's own trusted comment says: "timestamp:<seconds>\tfile:<name>", and "\thashed" after
// a prehashed signature. Fields that are absent or do not read stay unset.
struct TrustedComment {
  bool hasTimestamp = false;
  std::uint64_t timestamp = 0;
  bool hasFile = false;
  std::string file;
  bool hashed = false;
};
TrustedComment ReadTrustedComment(const std::string& text);

enum class SignatureCheck {
  kValid,
  kMalformed,  // not a signature file
  kTooLarge,   // larger than any signature file
  kOtherKey,   // made with another key (key id)
  kMismatch,   // the signature or the global signature over the trusted comment does not verify
  kLegacy,     // a legacy signature where only prehashed ones are taken
  kUntimed,    // the trusted comment lacks the timestamp or the file name, and that is not allowed
  kOtherFile,  // signed as another file than the list's
  kOlder,      // older than the newest list accepted before
};

// Checks a signature file against the exact bytes it should cover. Both signatures must verify, and a
// legacy one counts only when allowLegacy. *comment (when given) gets the trusted comment of a valid one.
SignatureCheck CheckListSignature(const ListPublicKey& key, const std::string& data, const std::string& minisig,
                                  bool allowLegacy, TrustedComment* comment = nullptr);

// The whole check of a list published as fileName: the signature as the setting allows it, then its
// trusted comment, which must name exactly fileName and carry a timestamp no older than notBefore (0:
// none accepted yet). A comment without them is taken only when the setting says untimed; a file name
// or timestamp it does carry is checked all the same. *signedAt gets the timestamp (0 when none).
SignatureCheck CheckSignedList(const ListKeySetting& setting, const std::string& data, const std::string& minisig,
                               const std::string& fileName, std::uint64_t notBefore, std::uint64_t* signedAt);
