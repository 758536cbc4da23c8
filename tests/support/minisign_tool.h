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

}  // namespace testsupport
