// Signed update lists against keys and signatures the real minisign makes at test time (native only;
// the Wine run covers the exe): the fetch with a ListKey, its final boxes, and nolkpack's check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

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
const std::string kLegacy = "更新列表签名是未获允许的旧格式签名 (minisign -l)",
                  kMalformed = "更新列表签名格式错误", kMismatch = "更新列表签名无效",
                  kUntimed = "更新列表签名的可信注释中没有时间戳和文件名",
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

// BLAKE2b-512 by coreutils' b2sum, as raw bytes.
std::string Blake2b512(const std::string& data) {
  testsupport::ProcessOptions o;
  o.argv = {"/usr/bin/b2sum"};
  o.stdinText = data;
  const std::string hex = testsupport::RunProcess(o).out.substr(0, 128);
  std::string raw;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) raw += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return raw;
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
  void Configure(const std::string& first, const std::string& listKey) {
    std::string text = "[Setting]\r\nListKey=" + listKey + "\r\nUpdateURL=" + server_.Url(first) + "\r\n";
    for (int i = 2; i <= 4; ++i) text += "UpdateURL" + std::to_string(i) + "=" + server_.Url("/next") + "\r\n";
    testsupport::WriteFile(dir_.Path() + "/var/gac/Url.ini", text);
  }
  // The newest signature time accepted so far; "" removes the record.
  const std::string RecordPath() { return dir_.Path() + "/var/gac/ListTimestamp"; }
  void SetRecord(const std::string& text) {
    if (text.empty())
      testsupport::RemoveTree(RecordPath());
    else
      testsupport::WriteFile(RecordPath(), text);
  }
  std::string Record() {
    std::string text;
    return testsupport::ReadFile(RecordPath(), &text) ? text : "";
  }
  std::string Log() {
    std::string text;
    return testsupport::ReadFile(dir_.Path() + "/nolk.log", &text) ? text : "";
  }
  testsupport::TempDir dir_;
  testsupport::HttpTestServer server_;
};

TEST_F(SignedFetch, OnlyAListSignedWithTheKeyIsTakenElseTheNextUrlIsTried) {
  const Keys& keys = TestKeys();
  const std::string sig = MinisignSign(keys.a, kList);
  std::string garbled = sig;  // one character of the signature's base64 changed
  char& changed = garbled[sig.find('\n') + 51];
  changed = changed == 'A' ? 'B' : 'A';
  std::string crlf = sig;  // as a Windows editor saves it; the tool takes it too
  for (std::size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
  HttpAnswer gzipped = HttpAnswer::Ok(kList), compressed = HttpAnswer::Ok(testsupport::GzipBytes(kList));
  gzipped.gzip = true;
  compressed.headers.push_back("Content-Encoding: gzip");
  const struct {
    std::string path;  // of the list
    HttpAnswer list;
    std::string sig;  // served beside it; empty: 404
    bool withKey;
    std::string refusal;  // empty: the first list is taken
  } cases[] = {
      {"/list.txt", HttpAnswer::Ok(kList), sig, true, ""},
      {"/list.txt", HttpAnswer::Ok(kList), MinisignSign(keys.a, kList, true), true, kLegacy},  // unless allowed
      {"/list.txt", gzipped, sig, true, ""},                                              // the plain file was signed
      {"/list.txt", HttpAnswer::Ok(kList), crlf, true, ""},
      {"/list.txt?v=2", HttpAnswer::Ok(kList), sig, true, ""},  // beside it: /list.txt.minisig?v=2
      {"/list.txt", HttpAnswer::Ok(kList), "garbage", false, ""},   // no key: never asked for
      {"/list.txt", HttpAnswer::Ok(kList), "", true, "无法获取更新列表签名,  404 Not Found"},
      {"/list.txt", HttpAnswer::Ok(Replace(kList, "m1", "m3")), sig, true, "更新列表签名无效"},
      {"/list.txt", HttpAnswer::Ok(kList), MinisignSign(keys.b, kList), true, "更新列表签名不是用所配置的公钥签署的"},
      {"/list.txt", HttpAnswer::Ok(kList), sig.substr(0, 120), true, "更新列表签名格式错误"},
      {"/list.txt", HttpAnswer::Ok(kList), garbled, true, "更新列表签名无效"},
      {"/list.txt", HttpAnswer::Ok(kList), Replace(sig, "\ntrusted comment: ", "\ntrusted comment: x"), true,
       "更新列表签名无效"},
      {"/list.txt", compressed, MinisignSign(keys.a, testsupport::GzipBytes(kList)), true, "更新列表签名无效"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.sig);
    std::string sigPath = c.path;
    sigPath.insert(std::min(sigPath.find('?'), sigPath.size()), ".minisig");
    server_.SetAnswer(c.path, c.list);
    server_.SetAnswer(sigPath, c.sig.empty() ? HttpAnswer::Status("HTTP/1.1 404 Not Found") : HttpAnswer::Ok(c.sig));
    Configure(c.path, c.withKey ? keys.a.publicLine : "");
    SetRecord("");
    const std::size_t logged = Log().size(), asked = server_.TargetsStartingWith("/l").size();
    ASSERT_EQ(FetchUpdateList(), 1);
    EXPECT_EQ(UpdateList[0].md5, c.refusal.empty() ? "m1" : "m2");
    EXPECT_EQ(server_.TargetsStartingWith("/l").size() - asked, c.withKey ? 2u : 1u);
    EXPECT_EQ(
        Log().substr(logged),
        c.refusal.empty() ? "" : "更新列表签名校验失败 UpdateURL=" + server_.Url(c.path) + ": " + c.refusal + "\r\n");
  }
  EXPECT_EQ(server_.Requests()[1].raw,  // the list's request form
            "GET /list.txt.minisig HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
}

// One table of signature files beside kList at /list.txt, each judged as the tool judges it: nothing the
// tool refuses is taken (with -H unless the operator allows legacy signatures).
TEST_F(SignedFetch, SignatureFilesAsTheToolJudgesThem) {
  const testsupport::MinisignKey& key = TestKeys().a;
  const std::string sig = MinisignSign(key, kList), legacy = MinisignSign(key, kList, true);
  // The prehashed signature passed off as a legacy one over the 64 bytes of the list's digest.
  const std::string confused = testsupport::EditSignatureBytes(sig, [](std::string* b) { (*b)[1] = 'd'; });
  // A "/" of a signature line written as a byte above 0x7F: the tool refuses it.
  std::string highByte;
  for (int i = 0; i < 20 && highByte.empty(); ++i) {
    const std::string s = MinisignSign(key, kList);
    const std::size_t slash = s.find('/', s.find('\n'));
    if (slash != std::string::npos) highByte = s.substr(0, slash) + "\xFF" + s.substr(slash + 1);
  }
  ASSERT_FALSE(highByte.empty());
  std::string crlf = sig;
  for (std::size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
  const std::string at1000 = MinisignSign(key, kList, false, "list.txt", "timestamp:1000\tfile:list.txt\thashed");
  const std::string untimed = MinisignSign(key, kList, false, "list.txt", "nolk 2.1.15");
  const std::string beta = MinisignSign(key, kList, false, "beta.txt");
  const struct {
    const char* what;
    std::string list, sig, keyWords, stored;
    std::string refusal;   // empty: the list is taken
    std::string recorded;  // the record afterwards; empty: not looked at
  } cases[] = {
      {"the tool's signature", kList, sig, "", "", "", ""},
      {"legacy", kList, legacy, "", "", kLegacy, ""},
      {"legacy, allowed", kList, legacy, " legacy", "", "", ""},
      {"algorithm bytes changed", Blake2b512(kList), confused, "", "", kLegacy, ""},
      {"algorithm bytes changed, legacy allowed", Blake2b512(kList), confused, " legacy", "", kMismatch, ""},
      {"byte above 0x7F", kList, highByte, "", "", kMalformed, ""},
      {"padding left out", kList, Replace(sig, "=\n", "\n"), "", "", kMalformed, ""},
      {"blank after the base64", kList, Replace(sig, "=\n", "= \n"), "", "", kMalformed, ""},
      {"CR LF line ends", kList, crlf, "", "", "", ""},
      {"last line ends in CR alone", kList, sig.substr(0, sig.size() - 1) + "\r", "", "", "", ""},
      {"untrusted comment of 1003 bytes", kList,
       "untrusted comment: " + std::string(1003, 'c') + sig.substr(sig.find('\n')), "", "", "", ""},
      {"untrusted comment of 1004 bytes", kList,
       "untrusted comment: " + std::string(1004, 'c') + sig.substr(sig.find('\n')), "", "", kMalformed, ""},
      {"a megabyte", kList, sig + std::string(1 << 20, '#'), "", "", kTooLarge, ""},
      {"no timestamp or file", kList, untimed, "", "", kUntimed, ""},
      {"no timestamp or file, allowed", kList, untimed, " untimed", "", "", ""},
      {"another file", kList, beta, "", "", kOtherFile, ""},
      {"another file, untimed allowed", kList, beta, " untimed legacy", "", kOtherFile, ""},
      {"the name in other letter case", kList, MinisignSign(key, kList, false, "List.txt"), "", "", kOtherFile, ""},
      {"older than the accepted", kList, at1000, "", "2000\r\n", kOlder, "5000\r\n"},
      {"as old as the accepted", kList, at1000, "", "1000\r\n", "", "1000\r\n"},
      {"newer than the accepted", kList, at1000, "", "999\r\n", "", "1000\r\n"},
      {"first accepted", kList, at1000, "", "", "", "1000\r\n"},
      {"record damaged", kList, at1000, "", "10x0\r\n", "", "1000\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server_.SetAnswer("/list.txt", HttpAnswer::Ok(c.list));
    server_.SetAnswer("/list.txt.minisig", HttpAnswer::Ok(c.sig));
    Configure("/list.txt", key.publicLine + c.keyWords);
    SetRecord(c.stored);
    const std::size_t logged = Log().size();
    const int entries = FetchUpdateList();
    EXPECT_EQ(entries, 1);
    if (entries == 1) {
      EXPECT_EQ(UpdateList[0].md5, c.refusal.empty() ? "m1" : "m2");
    }
    EXPECT_EQ(Log().substr(logged), c.refusal.empty() ? ""
                                                        : "更新列表签名校验失败 UpdateURL=" + server_.Url("/list.txt") +
                                                              ": " + c.refusal + "\r\n");
    if (!c.recorded.empty()) {
      EXPECT_EQ(Record(), c.recorded);
    }
    if (c.refusal.empty()) {
      EXPECT_TRUE(testsupport::MinisignVerifies(key, c.list, c.sig, c.keyWords.find("legacy") == std::string::npos));
    }
  }
}

// The key the program carries (string-table entry 112, the built-in text natively) is the only key:
// Url.ini can neither switch the check off nor put another key or weaker options in its place.
TEST_F(SignedFetch, AnEmbeddedKeyWinsOverUrlIni) {
  const Keys& keys = TestKeys();
  struct Restore {
    const char* key = kDefaultListKey;
    ~Restore() { kDefaultListKey = key; }
  } restore;
  UseListKeyString(keys.a.publicLine);  // as the program does at start
  const struct {
    std::string urlIniKey, sig, refusal;
  } cases[] = {
      {"", "garbage", kMalformed},
      {keys.b.publicLine, MinisignSign(keys.a, kList), ""},
      {keys.b.publicLine, MinisignSign(keys.b, kList), "更新列表签名不是用所配置的公钥签署的"},
      {keys.a.publicLine + " legacy untimed", MinisignSign(keys.a, kList, true), kLegacy},
      {"not a key", MinisignSign(keys.a, kList), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.urlIniKey);
    server_.SetAnswer("/list.txt", HttpAnswer::Ok(kList));
    server_.SetAnswer("/list.txt.minisig", HttpAnswer::Ok(c.sig));
    Configure("/list.txt", c.urlIniKey);
    SetRecord("");
    const std::size_t logged = Log().size();
    ASSERT_EQ(FetchUpdateList(), 1);
    EXPECT_EQ(UpdateList[0].md5, c.refusal.empty() ? "m1" : "m2");
    EXPECT_EQ(Log().substr(logged), c.refusal.empty() ? ""
                                                        : "更新列表签名校验失败 UpdateURL=" + server_.Url("/list.txt") +
                                                              ": " + c.refusal + "\r\n");
  }
}

// The list and its signature share one time budget: the signature's request gets what the list's
// left, so a URL costs no more time than before lists were signed.
TEST_F(SignedFetch, ListAndSignatureShareOneBudget) {
  ListKeySetting key;
  ASSERT_TRUE(ParseListKeySetting(TestKeys().a.publicLine, &key));
  HttpAnswer list = HttpAnswer::Ok(kList), sig = HttpAnswer::Ok(MinisignSign(TestKeys().a, kList));
  list.stallMs = sig.stallMs = 300;
  server_.SetAnswer("/list.txt", list);
  server_.SetAnswer("/list.txt.minisig", sig);
  for (int receiveMs : {450, 1500}) {
    SCOPED_TRACE(receiveMs);
    const ListAttempt a = FetchListAt(server_.Url("/list.txt"), &key, 0, NetModel::TimeValue{5, 0},
                                      NetModel::TimeValue{receiveMs / 1000, receiveMs % 1000 * 1000}, nullptr);
    EXPECT_EQ(a.body, receiveMs > 600 ? kList : "");
    EXPECT_EQ(a.error.find("无法获取更新列表签名"), receiveMs > 600 ? std::string::npos : 0u) << a.error;
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
    Configure("/next", c.key);
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
  const std::pair<std::string, int> cases[] = {{"is signed with the key", 0},
                                               {"does not match the list", 1},
                                               {"no signature", 1},
                                               {"the list says", 1},
                                               {"no a.gac among", 1},
                                               {"not a minisign public key", 2},
                                               {"a legacy signature", 1},
                                               {"legacy allowed", 0},
                                               {"signed as another file", 1},
                                               {"comes after 2.1.15", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    testsupport::TempDir dir;
    const std::string list = dir.Path() + "/patchlist.txt", pkg = dir.Path() + "/a.gac";
    testsupport::WriteFile(pkg, "package bytes");
    std::string text = "2.1.15 http://127.0.0.1/package/a.gac " + testsupport::ReferenceMd5(pkg) + "\r\n";
    if (c.first == "comes after 2.1.15") text += "2.1.14 http://127.0.0.1/package/a.gac " + testsupport::ReferenceMd5(pkg) + "\r\n";
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
              c.second == 2                   ? "RWQ"
              : c.first == "legacy allowed"   ? TestKeys().a.publicLine + " legacy"
              : c.second == 0                 ? TestKeys().a.publicLine
                                              : TestKeys().a.publicFile};
    testsupport::ProcessResult r = testsupport::RunProcess(o);
    EXPECT_EQ(r.exitCode, c.second) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.second == 0 ? "is signed with the key" : c.first), std::string::npos)
        << r.out << r.err;
  }
}

}  // namespace
