#include "tests/support/minisign_tool.h"

#ifndef _WIN32
#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace testsupport {
namespace {

ProcessResult Minisign(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/minisign");
  ProcessOptions options;
  options.argv = args;
  options.timeoutSeconds = 60;
  return RunProcess(options);
}

}  // namespace

MinisignKey MakeMinisignKey(const std::string& dir, const std::string& name) {
  MinisignKey key{dir + "/" + name + ".pub", dir + "/" + name + ".key", ""};
  ProcessResult r = Minisign({"-G", "-W", "-f", "-p", key.publicFile, "-s", key.secretFile});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string text;
  EXPECT_TRUE(ReadFile(key.publicFile, &text));
  std::size_t eol = text.find('\n');
  if (eol != std::string::npos) key.publicLine = text.substr(eol + 1, text.find('\n', eol + 1) - eol - 1);
  EXPECT_EQ(key.publicLine.size(), 56u) << text;
  return key;
}

std::string MinisignSign(const MinisignKey& key, const std::string& data, bool legacy,
                         const std::string& trustedComment) {
  TempDir dir;
  const std::string file = dir.Path() + "/list.txt";
  WriteFile(file, data);
  std::vector<std::string> args = {"-S", "-s", key.secretFile, "-m", file};
  if (legacy) args.push_back("-l");
  if (!trustedComment.empty()) {
    args.push_back("-t");
    args.push_back(trustedComment);
  }
  ProcessResult r = Minisign(args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string sig;
  EXPECT_TRUE(ReadFile(file + ".minisig", &sig));
  return sig;
}

bool MinisignVerifies(const MinisignKey& key, const std::string& data, const std::string& minisig) {
  TempDir dir;
  const std::string file = dir.Path() + "/list.txt";
  WriteFile(file, data);
  WriteFile(file + ".minisig", minisig);
  return Minisign({"-V", "-q", "-p", key.publicFile, "-m", file}).exitCode == 0;
}

}  // namespace testsupport
#endif
