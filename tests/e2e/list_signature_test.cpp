// Signed update lists: the signature parser and the fetch with a ListKey, against keys and signatures
// the real minisign makes at test time (a Linux program: native only; the Wine runs cover the exe).
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "net/socket_init.h"
#include "platform/message_box.h"
#include "tests/support/child_process.h"
#include "tests/support/http_test_server.h"
#include "tests/support/minisign_tool.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "update/install_dirs.h"
#include "update/list_signature.h"
#include "update/run_log.h"
#include "update/update_list.h"

using testsupport::HttpAnswer;
using testsupport::MinisignKey;

namespace {

const std::string kList = "2.1.15 http://127.0.0.1/package/a.gac m1\r\n";
const std::string kFallback = "2.1.15 http://127.0.0.1/package/a.gac m2\r\n";

// The signature file with one line replaced by edit.
std::string EditLine(const std::string& sig, int line, const std::function<void(std::string*)>& edit) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < sig.size()) {
    std::size_t end = sig.find('\n', pos);
    lines.push_back(sig.substr(pos, end - pos));
    pos = end + 1;
  }
  edit(&lines.at(static_cast<std::size_t>(line)));
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

// Two key pairs shared by every test: making one takes the tool a moment.
struct Keys {
  testsupport::TempDir dir;
  MinisignKey a = testsupport::MakeMinisignKey(dir.Path(), "a");
  MinisignKey b = testsupport::MakeMinisignKey(dir.Path(), "b");
};
Keys& TestKeys() {
  static Keys keys;
  return keys;
}

class SignedFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NetModel::InitSockets());
    testsupport::MakeDirs(dir_.Path() + "/var/gac");
    SetInstallDirs(dir_.Path() + "/bin/patch", dir_.Path() + "/");
    testsupport::WriteFile(dir_.Path() + "/var/gac/update.ini", "[Setting]\r\nVersion=2.1.14\r\n");
    ASSERT_TRUE(OpenRunLog(dir_.Path() + "/nolk.log"));
    previous_ = platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
      boxes_.push_back(r.text);
      return platform::kIdOk;
    });
  }
  void TearDown() override {
    platform::SetMessageBoxHandler(previous_);
    CloseRunLog();
    SetInstallDirs("", "");
  }
  // Url.ini with the four list URLs and the key line (none when empty).
  void Configure(const std::vector<std::string>& paths, const std::string& listKey) {
    std::string text = "[Setting]\r\n";
    for (std::size_t i = 0; i < paths.size(); ++i)
      text += "UpdateURL" + (i == 0 ? std::string() : std::to_string(i + 1)) + "=" + server_.Url(paths[i]) + "\r\n";
    if (!listKey.empty()) text += "ListKey=" + listKey + "\r\n";
    testsupport::WriteFile(dir_.Path() + "/var/gac/Url.ini", text);
  }
  // A list and its signature file at path (no signature when sig is empty).
  void Serve(const std::string& path, HttpAnswer list, const std::string& sig) {
    server_.SetAnswer(path, list);
    if (!sig.empty()) server_.SetAnswer(path + ".minisig", HttpAnswer::Ok(sig));
  }
  std::string Log() {
    std::string text;
    testsupport::ReadFile(dir_.Path() + "/nolk.log", &text);
    return text;
  }
  testsupport::TempDir dir_;
  testsupport::HttpTestServer server_;
  std::vector<std::string> boxes_;
  platform::MessageBoxHandler previous_;
};

TEST(ListKey, OnlyTheBase64LineOfAMinisignPublicKeyParses) {
  const MinisignKey& key = TestKeys().a;
  std::string pubFile;
  ASSERT_TRUE(testsupport::ReadFile(key.publicFile, &pubFile));
  std::string otherAlgorithm = key.publicLine;
  otherAlgorithm[0] = 'Q';  // first byte no longer 'E'
  const struct {
    std::string text;
    bool parses;
  } cases[] = {
      {key.publicLine, true},
      {"  " + key.publicLine + " \r\n", true},
      {key.publicLine.substr(0, 55), false},
      {key.publicLine + "A", false},
      {key.publicLine + "====", false},
      {otherAlgorithm, false},
      {pubFile, false},
      {"not a key", false},
      {"RWQ", false},
  };
  for (const auto& c : cases) {
    ListPublicKey parsed;
    EXPECT_EQ(ParseListPublicKey(c.text, &parsed), c.parses) << c.text;
  }
}

TEST(ListSignature, ChecksAgreeWithTheMinisignTool) {
  const Keys& keys = TestKeys();
  ListPublicKey key;
  ASSERT_TRUE(ParseListPublicKey(keys.a.publicLine, &key));
  const std::string data = "2.1.15 http://h/a.gac 0123\r\n2.1.16 http://h/b.gac 4567\r\n";
  const std::string sig = testsupport::MinisignSign(keys.a, data);
  const std::string legacy = testsupport::MinisignSign(keys.a, data, true, "release 2.1.16");
  std::string crlf;
  for (char c : sig) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const struct {
    const char* what;
    std::string data, sig;
    SignatureCheck expected;
    bool toolIsLaxer = false;  // the tool ignores what follows the fourth line; refused here
  } cases[] = {
      {"prehashed", data, sig, SignatureCheck::kValid},
      {"legacy", data, legacy, SignatureCheck::kValid},
      {"CR LF line ends", data, crlf, SignatureCheck::kValid},
      {"no final line end", data, sig.substr(0, sig.size() - 1), SignatureCheck::kValid},
      {"empty list, its own signature", "", testsupport::MinisignSign(keys.a, ""), SignatureCheck::kValid},
      {"one byte changed", "3" + data.substr(1), sig, SignatureCheck::kMismatch},
      {"one byte added", data + " ", legacy, SignatureCheck::kMismatch},
      {"another key", data, testsupport::MinisignSign(keys.b, data), SignatureCheck::kOtherKey},
      {"trusted comment altered", data, EditLine(sig, 2, [](std::string* l) { *l += "x"; }),
       SignatureCheck::kMismatch},
      {"signature garbled", data, EditLine(sig, 1, [](std::string* l) { (*l)[40] = (*l)[40] == 'A' ? 'B' : 'A'; }),
       SignatureCheck::kMismatch},
      {"global signature garbled",
       data, EditLine(legacy, 3, [](std::string* l) { (*l)[10] = (*l)[10] == 'A' ? 'B' : 'A'; }),
       SignatureCheck::kMismatch},
      {"algorithm neither Ed nor ED", data, EditLine(sig, 1, [](std::string* l) { (*l)[1] = 'X'; }),
       SignatureCheck::kMalformed},
      {"truncated", data, sig.substr(0, sig.size() / 2), SignatureCheck::kMalformed},
      {"three lines", data, sig.substr(0, sig.rfind('\n', sig.size() - 2) + 1), SignatureCheck::kMalformed},
      {"text after the fourth line", data, sig + "x\n", SignatureCheck::kMalformed, true},
      {"bad base64", data, EditLine(sig, 1, [](std::string* l) { (*l)[5] = '*'; }), SignatureCheck::kMalformed},
      {"no trusted comment prefix", data, EditLine(sig, 2, [](std::string* l) { l->erase(0, 1); }),
       SignatureCheck::kMalformed},
      {"no untrusted comment prefix", data, EditLine(sig, 0, [](std::string* l) { *l = "x"; }),
       SignatureCheck::kMalformed},
      {"the list itself", data, data, SignatureCheck::kMalformed},
      {"empty", data, "", SignatureCheck::kMalformed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckListSignature(key, c.data, c.sig), c.expected) << c.what;
    // The tool itself is the reference: it takes exactly the signatures found valid.
    EXPECT_EQ(testsupport::MinisignVerifies(keys.a, c.data, c.sig), c.expected == SignatureCheck::kValid || c.toolIsLaxer)
        << c.what;
  }
}

TEST_F(SignedFetchTest, EachBadSignatureFailsItsAttemptAndTheNextUrlIsTried) {
  const Keys& keys = TestKeys();
  const std::string sig = testsupport::MinisignSign(keys.a, kList);
  HttpAnswer gzipped = HttpAnswer::Ok(kList);
  gzipped.gzip = true;
  const std::string compressed = testsupport::GzipBytes(kList);
  HttpAnswer gzipRaw = HttpAnswer::Ok(compressed);
  gzipRaw.headers.push_back("Content-Encoding: gzip");
  HttpAnswer gzipSig = HttpAnswer::Ok(sig);
  gzipSig.gzip = true;
  const struct {
    const char* what;
    std::string listPath;
    HttpAnswer list;
    std::string sig;
    std::string refusal;  // empty: the first URL's list is taken
  } cases[] = {
      {"signed", "/l.txt", HttpAnswer::Ok(kList), sig, ""},
      {"legacy signature", "/l.txt", HttpAnswer::Ok(kList), testsupport::MinisignSign(keys.a, kList, true), ""},
      {"gzip-encoded list signed as a plain file", "/l.txt", gzipped, sig, ""},
      {"unsigned", "/l.txt", HttpAnswer::Ok(kList), "", "无法获取更新列表签名,  404 Not Found"},
      {"changed by one byte", "/l.txt", HttpAnswer::Ok(kList.substr(0, kList.size() - 4) + "2\r\n"), sig,
       "更新列表签名无效"},
      {"another key", "/l.txt", HttpAnswer::Ok(kList), testsupport::MinisignSign(keys.b, kList),
       "更新列表签名不是用所配置的公钥签署的"},
      {"truncated signature", "/l.txt", HttpAnswer::Ok(kList), sig.substr(0, 120), "更新列表签名格式错误"},
      {"garbled signature", "/l.txt", HttpAnswer::Ok(kList),
       EditLine(sig, 1, [](std::string* l) { (*l)[60] = (*l)[60] == 'A' ? 'B' : 'A'; }), "更新列表签名无效"},
      {"altered trusted comment", "/l.txt", HttpAnswer::Ok(kList),
       EditLine(sig, 2, [](std::string* l) { *l += " "; }), "更新列表签名无效"},
      {"gzip-encoded list whose compressed bytes were signed", "/l.txt", gzipRaw,
       testsupport::MinisignSign(keys.a, compressed), "更新列表签名无效"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Serve(c.listPath, c.list, c.sig);
    if (c.sig.empty()) server_.SetAnswer(c.listPath + ".minisig", HttpAnswer::Status("HTTP/1.1 404 Not Found"));
    Serve("/next.txt", HttpAnswer::Ok(kFallback), testsupport::MinisignSign(keys.a, kFallback));
    Configure({c.listPath, "/next.txt", "/x3", "/x4"}, keys.a.publicLine);
    const std::size_t logBefore = Log().size();
    ASSERT_EQ(FetchUpdateList(), 1);
    EXPECT_EQ(UpdateList[0].md5, c.refusal.empty() ? "m1" : "m2");
    const std::string logged = Log().substr(logBefore);
    if (c.refusal.empty())
      EXPECT_EQ(logged, "");
    else
      EXPECT_EQ(logged, "更新列表签名校验失败 UpdateURL=" + server_.Url(c.listPath) + ": " + c.refusal + "\r\n");
  }
  EXPECT_TRUE(boxes_.empty());
  // The signature is asked for with the list's own request form.
  const std::vector<testsupport::HttpRequestRecord> requests = server_.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[1].raw,
            "GET /l.txt.minisig HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
}

TEST_F(SignedFetchTest, SignatureBesideAListWithAQueryAndGzipEncoded) {
  HttpAnswer sig = HttpAnswer::Ok(testsupport::MinisignSign(TestKeys().a, kList));
  sig.gzip = true;
  server_.SetAnswer("/l.txt?v=2", HttpAnswer::Ok(kList));
  server_.SetAnswer("/l.txt.minisig?v=2", sig);
  Configure({"/l.txt?v=2", "/x2", "/x3", "/x4"}, TestKeys().a.publicLine);
  ASSERT_EQ(FetchUpdateList(), 1);
  EXPECT_EQ(UpdateList[0].md5, "m1");
}

TEST_F(SignedFetchTest, WithoutAKeyNoSignatureIsAskedFor) {
  for (const std::string& sig : {std::string(), std::string("garbage"), testsupport::MinisignSign(TestKeys().b, kList)}) {
    const std::size_t before = server_.RequestCount();
    Serve("/l.txt", HttpAnswer::Ok(kList), sig);
    Configure({"/l.txt", "/x2", "/x3", "/x4"}, "");
    ASSERT_EQ(FetchUpdateList(), 1);
    EXPECT_EQ(UpdateList[0].md5, "m1");
    EXPECT_EQ(server_.RequestCount(), before + 1);
  }
  EXPECT_EQ(Log(), "");
}

TEST(NolkpackVerifyList, SignatureAndPackagesBeforePublishing) {
  const Keys& keys = TestKeys();
  enum Fault { kNone, kListChanged, kOtherKey, kNoSignature, kPackageDiffers, kPackageMissing, kBadKey };
  const struct {
    Fault fault;
    bool keyAsLine, packageAsArgument;
    int exitCode;
    std::string output;  // in standard output, or standard error for exit code 2
  } cases[] = {
      {kNone, false, false, 0, "is signed with the key"},
      {kNone, true, true, 0, "is signed with the key"},
      {kListChanged, false, false, 1, "does not match the list"},
      {kOtherKey, true, false, 1, "signed with another key"},
      {kNoSignature, false, true, 1, "no signature"},
      {kPackageDiffers, false, false, 1, "the list says"},
      {kPackageMissing, false, false, 1, "no a.gac among"},
      {kBadKey, true, false, 2, "not a minisign public key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    testsupport::TempDir dir;
    const std::string pkgDir = dir.Path() + (c.packageAsArgument ? "/elsewhere" : "");
    testsupport::MakeDirs(pkgDir);
    testsupport::WriteFile(pkgDir + "/a.gac", "package bytes");
    std::string list = "2.1.15 http://127.0.0.1/package/a.gac " + testsupport::ReferenceMd5(pkgDir + "/a.gac") + "\r\n";
    const std::string listPath = dir.Path() + "/patchlist.txt";
    if (c.fault != kNoSignature)
      testsupport::WriteFile(listPath + ".minisig", testsupport::MinisignSign(c.fault == kOtherKey ? keys.b : keys.a, list));
    if (c.fault == kListChanged) list += "\r\n";
    testsupport::WriteFile(listPath, list);
    if (c.fault == kPackageDiffers) testsupport::WriteFile(pkgDir + "/a.gac", "other bytes");
    if (c.fault == kPackageMissing) testsupport::RemoveTree(pkgDir + "/a.gac");
    std::string key = c.keyAsLine ? keys.a.publicLine : keys.a.publicFile;
    if (c.fault == kBadKey) key = key.substr(2);
    testsupport::ProcessOptions o;
    o.argv = {testsupport::Env("NOLK_BIN_DIR") + "/nolkpack", "verify", "--list", listPath, "--key", key};
    if (c.packageAsArgument) o.argv.push_back(pkgDir + "/a.gac");
    testsupport::ProcessResult r = testsupport::RunProcess(o);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_NE((c.exitCode == 2 ? r.err : r.out).find(c.output), std::string::npos) << r.out << r.err;
  }
}

class SignedFetchDeathTest : public SignedFetchTest {};

std::string Hex(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
  return out;
}

// In the child: each box (in hex: GBK bytes are no regular expression) and the number of requests the
// server had by then, on standard error.
void ReportBoxes(const testsupport::HttpTestServer* server) {
  platform::SetMessageBoxHandler([server](const platform::MessageBoxRequest& r) {
    std::fprintf(stderr, "BOX[%s] after %zu requests\n", Hex(r.text).c_str(), server->RequestCount());
    return platform::kIdOk;
  });
}

TEST_F(SignedFetchDeathTest, FourRefusedListsEndWithTheReasonInTheBox) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Serve("/l.txt", HttpAnswer::Ok(kList + "#"), testsupport::MinisignSign(TestKeys().a, kList));
  Configure({"/l.txt", "/l.txt", "/l.txt", "/l.txt"}, TestKeys().a.publicLine);
  EXPECT_EXIT(
      {
        ReportBoxes(&server_);
        FetchUpdateList();
      },
      ::testing::ExitedWithCode(2), "BOX\\[" + Hex("获取更新列表失败, 更新列表签名无效") + "\\] after 8 requests");
}

TEST_F(SignedFetchDeathTest, MalformedKeyStopsBeforeAnyRequest) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Serve("/l.txt", HttpAnswer::Ok(kList), testsupport::MinisignSign(TestKeys().a, kList));
  Configure({"/l.txt", "/l.txt", "/l.txt", "/l.txt"}, TestKeys().a.publicLine.substr(1));
  EXPECT_EXIT(
      {
        ReportBoxes(&server_);
        FetchUpdateList();
      },
      ::testing::ExitedWithCode(2), "BOX\\[" + Hex("Url.ini 中的 ListKey 不是有效的更新列表公钥 (minisign 公钥文件的第二行)") + "\\] after 0 requests");
}

}  // namespace
