// Keys and signatures made by the real minisign tool, never by the code under test (native only).
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace testsupport {

struct MinisignKey {
  std::string publicFile, secretFile;  // the secret key has no password
  std::string publicLine;              // the base64 line of the .pub file, as Url.ini's ListKey holds it
};

// Runs the tool; the files it writes are the result.
inline void Minisign(const std::vector<std::string>& args) {
  ProcessOptions o;
  o.argv = {"/usr/bin/minisign"};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  ProcessResult r = RunProcess(o);
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

inline MinisignKey MakeMinisignKey(const std::string& dir, const std::string& name) {
  MinisignKey key{dir + "/" + name + ".pub", dir + "/" + name + ".key", ""};
  Minisign({"-G", "-W", "-f", "-p", key.publicFile, "-s", key.secretFile});
  std::string text;
  EXPECT_TRUE(ReadFile(key.publicFile, &text));
  key.publicLine = text.substr(text.find('\n') + 1, 56);
  return key;
}

// The signature file of data kept as fileName (its trusted comment names it): the default prehashed
// form, or the legacy one (-l); trusted replaces the tool's own trusted comment (-t).
inline std::string MinisignSign(const MinisignKey& key, const std::string& data, bool legacy = false,
                                const std::string& fileName = "list.txt", const std::string& trusted = "") {
  TempDir dir;
  const std::string file = dir.Path() + "/" + fileName;
  WriteFile(file, data);
  std::vector<std::string> args = {"-S", "-s", key.secretFile, "-m", file};
  if (legacy) args.push_back("-l");
  if (!trusted.empty()) args.insert(args.end(), {"-t", trusted});
  Minisign(args);
  std::string sig;
  EXPECT_TRUE(ReadFile(file + ".minisig", &sig));
  return sig;
}

// The tool's own verdict on a signature file of data: minisign -V, with -H when only prehashed
// signatures count.
inline bool MinisignVerifies(const MinisignKey& key, const std::string& data, const std::string& sig,
                             bool prehashedOnly) {
  TempDir dir;
  WriteFile(dir.Path() + "/data", data);
  WriteFile(dir.Path() + "/data.minisig", sig);
  ProcessOptions o;
  o.argv = {"/usr/bin/minisign", "-V", "-q", "-p", key.publicFile, "-m", dir.Path() + "/data"};
  if (prehashedOnly) o.argv.push_back("-H");
  return RunProcess(o).exitCode == 0;
}

// Standard padded base64, for editing the bytes of the tool's signature lines.
inline std::string Base64Encode(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    for (std::size_t k = 0; k < 4; ++k)
      out += i + k <= bytes.size() ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}
inline std::string Base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned v = 0;
  int bits = 0;
  for (char c : text) {
    const std::size_t d = kAlphabet.find(c);
    if (d == std::string::npos) break;  // padding
    v = (v << 6) | static_cast<unsigned>(d);
    if ((bits += 6) >= 8) out += static_cast<char>((v >> (bits -= 8)) & 0xFF);
  }
  return out;
}

// The signature file with the bytes of its second line (algorithm, key id, signature) edited.
template <typename Edit>
std::string EditSignatureBytes(const std::string& sig, Edit edit) {
  const std::size_t from = sig.find('\n') + 1, to = sig.find('\n', from);
  std::string bytes = Base64Decode(sig.substr(from, to - from));
  edit(&bytes);
  return sig.substr(0, from) + Base64Encode(bytes) + sig.substr(to);
}

}  // namespace testsupport
