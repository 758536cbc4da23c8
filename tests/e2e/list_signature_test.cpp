// Signed update lists against keys and signatures the real minisign makes at test time (native only;
// the Wine run covers the exe): the fetch with a ListKey, its final boxes, and nolkpack's check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "net/socket_init.h"
#include "platform/message_box.h"
#include "tests/support/http_test_server.h"
#include "tests/support/minisign_tool.h"
#include "tests/support/reference_md5.h"
#include "tests/support/wine_driver.h"
#include "update/install_dirs.h"
#include "update/run_log.h"
#include "update/strings.h"
#include "update/update_list.h"

namespace {

using testsupport::HttpAnswer;
using testsupport::MinisignSign;

const std::string kList = "2.1.15 http://127.0.0.1/package/a.gac m1\r\n", kNext = "2.1.15 http://h/a.gac m2\r\n";
const std::string kLegacy = "更新列表签名是未获允许的旧格式签名 (minisign -l)", kMalformed = "更新列表签名格式错误",
                  kMismatch = "更新列表签名无效", kUntimed = "更新列表签名的可信注释中没有时间戳和文件名",
                  kOtherFile = "更新列表签名是为另一个文件签署的", kOlder = "更新列表签名早于已接受过的更新列表",
                  kTooLarge = "更新列表签名文件过大";
// The fallback list's signature time: newer than every time a case records before it.
const char kNextSigned[] = "timestamp:5000\tfile:next\thashed";

struct Keys {  // made once: the tool takes a moment
  testsupport::TempDir dir;
  testsupport::MinisignKey a = testsupport::MakeMinisignKey(dir.Path(), "a");
  testsupport::MinisignKey b = testsupport::MakeMinisignKey(dir.Path(), "b");
};
const Keys& TestKeys() {
  static Keys keys;
  return keys;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// Shell steps over coreutils' b2sum and base64, never the code under test: BLAKE2b-512 of data as raw
// bytes, and a signature file whose algorithm bytes say "Ed".
std::string Shell(const std::string& script, const std::string& input) {
  testsupport::TempDir dir;
  testsupport::ProcessOptions o;
  o.argv = {"/bin/bash", "-c", script};
  o.cwd = dir.Path();
  o.stdinText = input;
  return testsupport::RunProcess(o).out;
}
std::string Blake2b512(const std::string& data) {
  return Shell("printf \"$(b2sum | head -c 128 | sed 's/../\\\\x&/g')\"", data);
}
std::string AsLegacy(const std::string& sig) {
  const std::size_t from = sig.find('\n') + 1;
  return sig.substr(0, from) +
         Shell("sed -n 2p | base64 -d >b && printf Ed | dd of=b conv=notrunc 2>/dev/null && base64 -w0 b", sig) +
         sig.substr(sig.find('\n', from));
}

// An installation at 2.1.14 whose URLs 2 to 4 serve a list signed with key a (digest m2).
class SignedFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NetModel::InitSockets());
    testsupport::MakeDirs(dir_.Path() + "/var/gac");
    SetInstallDirs(dir_.Path() + "/bin/patch", dir_.Path() + "/");
    testsupport::WriteFile(dir_.Path() + "/var/gac/update.ini", "[Setting]\r\nVersion=2.1.14\r\n");
    ASSERT_TRUE(OpenRunLog(dir_.Path() + "/nolk.log"));
    server_.SetAnswer("/next", HttpAnswer::Ok(kNext));
    server_.SetAnswer("/next.minisig", HttpAnswer::Ok(MinisignSign(TestKeys().a, kNext, false, "next", kNextSigned)));
  }
  void TearDown() override { CloseRunLog(), SetInstallDirs("", ""); }
  // Serves list and sig (empty: 404) at path and beside it, puts path first in Url.ini with listKey, and
  // sets the record of the newest time accepted (empty: none).
  void Configure(const std::string& path, const HttpAnswer& list, const std::string& sig, const std::string& listKey,
                 const std::string& record = "") {
    std::string sigPath = path;
    sigPath.insert(std::min(sigPath.find('?'), sigPath.size()), ".minisig");
    server_.SetAnswer(path, list);
    server_.SetAnswer(sigPath, sig.empty() ? HttpAnswer::Status("HTTP/1.1 404 Not Found") : HttpAnswer::Ok(sig));
    std::string text = "[Setting]\r\nListKey=" + listKey + "\r\nUpdateURL=" + server_.Url(path) + "\r\n";
    for (int i = 2; i <= 4; ++i) text += "UpdateURL" + std::to_string(i) + "=" + server_.Url("/next") + "\r\n";
    testsupport::WriteFile(dir_.Path() + "/var/gac/Url.ini", text);
    testsupport::RemoveTree(RecordPath());
    if (!record.empty()) testsupport::WriteFile(RecordPath(), record);
  }
  // One fetch: the list at path is taken (refusal empty), or refused with that reason in the log.
  void ExpectFetch(const std::string& path, const std::string& refusal) {
    const std::size_t logged = Log().size();
    ASSERT_EQ(FetchUpdateList(), 1);
    EXPECT_EQ(UpdateList[0].md5, refusal.empty() ? "m1" : "m2");
    EXPECT_EQ(Log().substr(logged),
              refusal.empty() ? "" : "更新列表签名校验失败 UpdateURL=" + server_.Url(path) + ": " + refusal + "\r\n");
  }
  std::string RecordPath() { return dir_.Path() + "/var/gac/ListTimestamp"; }
  std::string Log() {
    std::string text;
    return testsupport::ReadFile(dir_.Path() + "/nolk.log", &text) ? text : "";
  }
  testsupport::TempDir dir_;
  testsupport::HttpTestServer server_;
};

// One table of signature files: what the client takes, never anything `minisign -V` refuses (with -H
// unless the key says legacy).
TEST_F(SignedFetch, OnlyAListSignedWithTheKeyIsTakenElseTheNextUrlIsTried) {
  const Keys& keys = TestKeys();
  const std::string a = keys.a.publicLine, sig = MinisignSign(keys.a, kList),
                    legacy = MinisignSign(keys.a, kList, true);
  std::string garbled = sig;  // one character of the signature's base64 changed
  char& changed = garbled[sig.find('\n') + 51];
  changed = changed == 'A' ? 'B' : 'A';
  std::string crlf = sig;  // as a Windows editor saves it; the tool takes it too
  for (std::size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
  // A "/" of the base64 as a byte above 0x7F, which the library's decoder took for "/". The list's
  // signature is the same each time; the global one changes with the trusted comment's time.
  std::string highByte;
  const long long now = static_cast<long long>(std::time(nullptr));
  for (int i = 0; i < 64 && highByte.find('/', sig.find('\n')) == std::string::npos; ++i)
    highByte = MinisignSign(keys.a, kList, false, "list.txt",
                            "timestamp:" + std::to_string(now + i) + "\tfile:list.txt\thashed");
  ASSERT_NE(highByte.find('/', sig.find('\n')), std::string::npos) << "no signature with a / in 64 tries";
  highByte[highByte.find('/', sig.find('\n'))] = '\xFF';
  const std::string at1000 = MinisignSign(keys.a, kList, false, "list.txt", "timestamp:1000\tfile:list.txt\thashed");
  const std::string untimed = MinisignSign(keys.a, kList, false, "list.txt", "nolk 2.1.15");
  const std::string beta = MinisignSign(keys.a, kList, false, "beta.txt");
  // The prehashed signature passed off as a legacy one over the 64 bytes of the list's digest.
  const HttpAnswer ok = HttpAnswer::Ok(kList), digest = HttpAnswer::Ok(Blake2b512(kList));
  HttpAnswer gzipped = ok, compressed = HttpAnswer::Ok(testsupport::GzipBytes(kList));
  gzipped.gzip = true;
  compressed.headers.push_back("Content-Encoding: gzip");
  const struct {
    std::string path;  // of the list
    HttpAnswer list;
    std::string sig;                         // served beside it; empty: 404
    std::string key;                         // ListKey
    std::string refusal;                     // empty: the first list is taken
    std::string record = "", recorded = "";  // the newest time accepted before and after ("": not looked at)
  } cases[] = {
      {"/list.txt", ok, sig, a, ""},
      {"/list.txt", gzipped, sig, a, ""},  // the plain file was signed
      {"/list.txt", ok, crlf, a, ""},
      {"/list.txt", ok, sig.substr(0, sig.size() - 1) + "\r", a, ""},  // the last line ends in CR alone
      {"/list.txt?v=2", ok, sig, a, ""},                               // beside it: /list.txt.minisig?v=2
      {"/list.txt", ok, "garbage", "", ""},                            // no key: never asked for
      {"/list.txt", ok, "", a, "无法获取更新列表签名,  404 Not Found"},
      {"/list.txt", HttpAnswer::Ok(Replace(kList, "m1", "m3")), sig, a, kMismatch},
      {"/list.txt", ok, MinisignSign(keys.b, kList), a, "更新列表签名不是用所配置的公钥签署的"},
      {"/list.txt", ok, sig.substr(0, 120), a, kMalformed},
      {"/list.txt", ok, garbled, a, kMismatch},
      {"/list.txt", ok, Replace(sig, "\ntrusted comment: ", "\ntrusted comment: x"), a, kMismatch},
      {"/list.txt", compressed, MinisignSign(keys.a, testsupport::GzipBytes(kList)), a, kMismatch},
      // algorithm bytes
      {"/list.txt", ok, legacy, a, kLegacy},
      {"/list.txt", ok, legacy, a + " legacy", ""},
      {"/list.txt", digest, AsLegacy(sig), a, kLegacy},
      {"/list.txt", digest, AsLegacy(sig), a + " legacy", kMismatch},  // its trusted comment says hashed
      // alphabet and sizes
      {"/list.txt", ok, highByte, a, kMalformed},
      {"/list.txt", ok, Replace(sig, "=\n", "\n"), a, kMalformed},  // padding left out
      {"/list.txt", ok, "untrusted comment: " + std::string(1004, 'c') + sig.substr(sig.find('\n')), a, kMalformed},
      {"/list.txt", ok, sig + std::string(1 << 20, '#'), a, kTooLarge},
      // trusted comments and timestamps
      {"/list.txt", ok, untimed, a, kUntimed},
      {"/list.txt", ok, untimed, a + " untimed", ""},
      {"/list.txt", ok, beta, a, kOtherFile},
      {"/list.txt", ok, beta, a + " untimed legacy", kOtherFile},
      {"/list.txt", ok, MinisignSign(keys.a, kList, false, "List.txt"), a, kOtherFile},
      {"/list.txt", ok, at1000, a, kOlder, "2000\r\n", "5000\r\n"},
      {"/list.txt", ok, at1000, a, "", "1000\r\n", "1000\r\n"},
      {"/list.txt", ok, at1000, a, "", "999\r\n", "1000\r\n"},
      {"/list.txt", ok, at1000, a, "", "10x0\r\n", "1000\r\n"},  // a damaged record counts as none
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.key + " " + c.sig.substr(0, 300));
    Configure(c.path, c.list, c.sig, c.key, c.record);
    const std::size_t asked = server_.TargetsStartingWith("/l").size();
    ExpectFetch(c.path, c.refusal);
    EXPECT_EQ(server_.TargetsStartingWith("/l").size() - asked, c.key.empty() ? 1u : 2u);
    std::string recorded = c.recorded;
    EXPECT_TRUE(c.recorded.empty() || (testsupport::ReadFile(RecordPath(), &recorded) && recorded == c.recorded));
    const bool prehashedOnly = c.key.find("legacy") == std::string::npos;
    EXPECT_TRUE(!c.refusal.empty() || c.key.empty() ||
                testsupport::MinisignVerifies(keys.a, c.list.body, c.sig, prehashedOnly));
  }
  EXPECT_EQ(server_.Requests()[1].raw,  // the list's request form
            "GET /list.txt.minisig HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
}

// The key the program carries (string-table entry 112, the built-in text natively) is the only key:
// Url.ini can neither switch the check off nor put another key or weaker words in its place.
TEST_F(SignedFetch, AnEmbeddedKeyWinsOverUrlIni) {
  const Keys& keys = TestKeys();
  struct Restore {
    const char* key = kDefaultListKey;
    ~Restore() { kDefaultListKey = key; }
  } restore;
  UseListKeyString(keys.a.publicLine);  // as the program does at start
  const std::string a = MinisignSign(keys.a, kList);
  const std::string cases[][3] = {
      {"", "garbage", kMalformed},
      {keys.b.publicLine, a, ""},
      {keys.b.publicLine, MinisignSign(keys.b, kList), "更新列表签名不是用所配置的公钥签署的"},
      {keys.a.publicLine + " legacy untimed", MinisignSign(keys.a, kList, true), kLegacy},
      {"not a key", a, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    Configure("/list.txt", HttpAnswer::Ok(kList), c[1], c[0]);
    ExpectFetch("/list.txt", c[2]);
  }
}

// The signature's request gets what the list's left of the time budget, so a URL costs no more time
// than before lists were signed: 500 ms each fit two budgets of 800 ms, not one.
TEST_F(SignedFetch, ListAndSignatureShareOneBudget) {
  ListKeySetting key;
  ASSERT_TRUE(ParseListKeySetting(TestKeys().a.publicLine, &key));
  HttpAnswer list = HttpAnswer::Ok(kList), sig = HttpAnswer::Ok(MinisignSign(TestKeys().a, kList));
  list.stallMs = sig.stallMs = 500;
  Configure("/list.txt", list, "", "");
  server_.SetAnswer("/list.txt.minisig", sig);
  for (int ms : {800, 3000}) {
    const ListAttempt got =
        FetchListAt(server_.Url("/list.txt"), &key, 0, {5, 0}, {ms / 1000, ms % 1000 * 1000}, nullptr);
    EXPECT_EQ(got.body, ms > 1000 ? kList : "") << ms;
    EXPECT_EQ(got.error.find("无法获取更新列表签名"), ms > 1000 ? std::string::npos : 0u) << got.error;
  }
}

using SignedFetchDeathTest = SignedFetch;

TEST_F(SignedFetchDeathTest, FourRefusedListsOrABadKeyEndTheRunWithItsBox) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string key = TestKeys().b.publicLine;
  const std::string badKey = "Url.ini 中的 ListKey 不是有效的更新列表公钥 (minisign 公钥文件的第二行)";
  const struct {
    std::string key, box;
    int requests;
  } cases[] = {{key, "获取更新列表失败, 更新列表签名不是用所配置的公钥签署的", 8},
               {key.substr(1), badKey, 0},
               {"Q" + key.substr(1), badKey, 0}};
  for (const auto& c : cases) {
    Configure("/next", HttpAnswer::Ok(kNext), MinisignSign(TestKeys().a, kNext, false, "next", kNextSigned), c.key);
    EXPECT_EXIT(
        {
          platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
            std::fprintf(stderr, "BOX[%s] after %zu\n", testsupport::Hex(r.text).c_str(), server_.RequestCount());
            return platform::kIdOk;
          });
          FetchUpdateList();
        },
        ::testing::ExitedWithCode(2), "BOX\\[" + testsupport::Hex(c.box) + "\\] after " + std::to_string(c.requests));
  }
}

TEST(NolkpackVerifyList, SignatureAndPackagesBeforePublishing) {
  // What is wrong, as nolkpack names it, and its exit code.
  const std::pair<std::string, int> cases[] = {
      {"is signed with the key", 0}, {"does not match the list", 1},   {"no signature", 1},       {"the list says", 1},
      {"no a.gac among", 1},         {"not a minisign public key", 2}, {"a legacy signature", 1}, {"legacy allowed", 0},
      {"signed as another file", 1}, {"comes after 2.1.15", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    testsupport::TempDir dir;
    const std::string list = dir.Path() + "/patchlist.txt", pkg = dir.Path() + "/a.gac";
    testsupport::WriteFile(pkg, "package bytes");
    std::string text = "2.1.15 http://127.0.0.1/package/a.gac " + testsupport::ReferenceMd5(pkg) + "\r\n";
    if (c.first == "comes after 2.1.15")
      text += "2.1.14 http://127.0.0.1/package/a.gac " + testsupport::ReferenceMd5(pkg) + "\r\n";
    testsupport::WriteFile(list, text + (c.first == "does not match the list" ? " " : ""));
    const bool legacy = c.first.find("legacy") != std::string::npos;
    const std::string signedAs = c.first == "signed as another file" ? "beta.txt" : "patchlist.txt";
    if (c.first != "no signature")
      testsupport::WriteFile(list + ".minisig", MinisignSign(TestKeys().a, text, legacy, signedAs));
    if (c.first == "the list says") testsupport::WriteFile(pkg, "other bytes");
    if (c.first == "no a.gac among") testsupport::RemoveTree(pkg);
    testsupport::ProcessOptions o;
    o.argv = {testsupport::Env("NOLK_BIN_DIR") + "/nolkpack",
              "verify",
              "--list",
              list,
              "--key",
              c.second == 2                 ? "RWQ"
              : c.first == "legacy allowed" ? TestKeys().a.publicLine + " legacy"
              : c.second == 0               ? TestKeys().a.publicLine
                                            : TestKeys().a.publicFile};
    testsupport::ProcessResult r = testsupport::RunProcess(o);
    EXPECT_EQ(r.exitCode, c.second) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.second == 0 ? "is signed with the key" : c.first), std::string::npos)
        << r.out << r.err;
  }
}

}  // namespace
