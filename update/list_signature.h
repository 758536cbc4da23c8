// Update lists signed by the operator with minisign (Ed25519): the public key of Url.ini's ListKey and
// the signature file published beside the list.
#pragma once
#include <string>

struct ListPublicKey {
  unsigned char keyId[8];
  unsigned char key[32];
};

// The base64 line of a minisign public key: "Ed", the key id, the Ed25519 key (42 bytes). Blanks around
// it are ignored; false for anything else.
bool ParseListPublicKey(const std::string& base64Line, ListPublicKey* out);

struct ListSignature {
  bool prehashed = false;  // "ED": signs the BLAKE2b-512 digest of the file; "Ed": the file itself
  unsigned char keyId[8] = {};
  unsigned char signature[64] = {};
  std::string trustedComment;  // the text after "trusted comment: "
  unsigned char globalSignature[64] = {};
};

// The four lines of a signature file (LF line ends; a CR before one is dropped, as the minisign tool
// does). False when a line is missing or malformed, or text follows the fourth.
bool ParseListSignature(const std::string& text, ListSignature* out);

enum class SignatureCheck {
  kValid,
  kMalformed,  // not a signature file
  kOtherKey,   // made with another key (key id)
  kMismatch,   // the signature or the global signature over the trusted comment does not verify
};

// Checks a signature file against the exact bytes it should cover. Both signatures must verify.
SignatureCheck CheckListSignature(const ListPublicKey& key, const std::string& data, const std::string& minisig);
