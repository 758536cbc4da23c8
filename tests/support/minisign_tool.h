// Keys and signatures made by the real minisign tool, never by the code under test. Native only: the
// tool is a Linux program, run through child_process.
#pragma once
#include <string>

namespace testsupport {

struct MinisignKey {
  std::string publicFile;  // minisign.pub: the comment line, then the base64 line
  std::string secretFile;  // without a password
  std::string publicLine;  // the base64 line alone, as Url.ini's ListKey holds it
};

// A fresh key pair in dir (files name.pub and name.key). Fails the test when the tool fails.
MinisignKey MakeMinisignKey(const std::string& dir, const std::string& name);

// The signature file text for data: the default prehashed form, or the legacy one. The comment, when
// given, becomes the trusted comment.
std::string MinisignSign(const MinisignKey& key, const std::string& data, bool legacy = false,
                         const std::string& trustedComment = std::string());

// What `minisign -V` says of data and its signature: true when it verifies.
bool MinisignVerifies(const MinisignKey& key, const std::string& data, const std::string& minisig);

}  // namespace testsupport
