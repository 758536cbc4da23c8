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
#include "update/update_list.h"

namespace {

using testsupport::HttpAnswer;
using testsupport::MinisignSign;

const std::string kList = "2.1.15 http://127.0.0.1/package/a.gac m1\r\n", kNext = "2.1.15 http://h/a.gac m2\r\n";

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
    server_.SetAnswer("/next.minisig", HttpAnswer::Ok(MinisignSign(TestKeys().a, kNext)));
  }
  void TearDown() override { CloseRunLog(), SetInstallDirs("", ""); }
  void Configure(const std::string& first, const std::string& listKey) {
    std::string text = "[Setting]\r\nListKey=" + listKey + "\r\nUpdateURL=" + server_.Url(first) + "\r\n";
    for (int i = 2; i <= 4; ++i) text += "UpdateURL" + std::to_string(i) + "=" + server_.Url("/next") + "\r\n";
    testsupport::WriteFile(dir_.Path() + "/var/gac/Url.ini", text);
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
      {"/l", HttpAnswer::Ok(kList), sig, true, ""},
      {"/l", HttpAnswer::Ok(kList), MinisignSign(keys.a, kList, true), true, ""},  // legacy form
      {"/l", gzipped, sig, true, ""},                                              // the plain file was signed
      {"/l", HttpAnswer::Ok(kList), crlf, true, ""},
      {"/l.txt?v=2", HttpAnswer::Ok(kList), sig, true, ""},  // beside it: /l.txt.minisig?v=2
      {"/l", HttpAnswer::Ok(kList), "garbage", false, ""},   // no key: never asked for
      {"/l", HttpAnswer::Ok(kList), "", true, "无法获取更新列表签名,  404 Not Found"},
      {"/l", HttpAnswer::Ok(Replace(kList, "m1", "m3")), sig, true, "更新列表签名无效"},
      {"/l", HttpAnswer::Ok(kList), MinisignSign(keys.b, kList), true, "更新列表签名不是用所配置的公钥签署的"},
      {"/l", HttpAnswer::Ok(kList), sig.substr(0, 120), true, "更新列表签名格式错误"},
      {"/l", HttpAnswer::Ok(kList), garbled, true, "更新列表签名无效"},
      {"/l", HttpAnswer::Ok(kList), Replace(sig, "\ntrusted comment: ", "\ntrusted comment: x"), true,
       "更新列表签名无效"},
      {"/l", compressed, MinisignSign(keys.a, testsupport::GzipBytes(kList)), true, "更新列表签名无效"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.sig);
    std::string sigPath = c.path;
    sigPath.insert(std::min(sigPath.find('?'), sigPath.size()), ".minisig");
    server_.SetAnswer(c.path, c.list);
    server_.SetAnswer(sigPath, c.sig.empty() ? HttpAnswer::Status("HTTP/1.1 404 Not Found") : HttpAnswer::Ok(c.sig));
    Configure(c.path, c.withKey ? keys.a.publicLine : "");
    const std::size_t logged = Log().size(), asked = server_.TargetsStartingWith("/l").size();
    ASSERT_EQ(FetchUpdateList(), 1);
    EXPECT_EQ(UpdateList[0].md5, c.refusal.empty() ? "m1" : "m2");
    EXPECT_EQ(server_.TargetsStartingWith("/l").size() - asked, c.withKey ? 2u : 1u);
    EXPECT_EQ(
        Log().substr(logged),
        c.refusal.empty() ? "" : "更新列表签名校验失败 UpdateURL=" + server_.Url(c.path) + ": " + c.refusal + "\r\n");
  }
  EXPECT_EQ(server_.Requests()[1].raw,  // the list's request form
            "GET /l.minisig HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
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
  const std::pair<std::string, int> cases[] = {{"is signed with the key", 0}, {"does not match the list", 1},
                                               {"no signature", 1},           {"the list says", 1},
                                               {"no a.gac among", 1},         {"not a minisign public key", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    testsupport::TempDir dir;
    const std::string list = dir.Path() + "/patchlist.txt", pkg = dir.Path() + "/a.gac";
    testsupport::WriteFile(pkg, "package bytes");
    const std::string text = "2.1.15 http://127.0.0.1/package/a.gac " + testsupport::ReferenceMd5(pkg) + "\r\n";
    testsupport::WriteFile(list, text + (c.first == "does not match the list" ? " " : ""));
    if (c.first != "no signature") testsupport::WriteFile(list + ".minisig", MinisignSign(TestKeys().a, text));
    if (c.first == "the list says") testsupport::WriteFile(pkg, "other bytes");
    if (c.first == "no a.gac among") testsupport::RemoveTree(pkg);
    testsupport::ProcessOptions o;
    o.argv = {testsupport::Env("NOLK_BIN_DIR") + "/nolkpack",
              "verify",
              "--list",
              list,
              "--key",
              c.second == 2   ? "RWQ"
              : c.second == 0 ? TestKeys().a.publicLine
                              : TestKeys().a.publicFile};
    testsupport::ProcessResult r = testsupport::RunProcess(o);
    EXPECT_EQ(r.exitCode, c.second) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.first), std::string::npos) << r.out << r.err;
  }
}

}  // namespace
