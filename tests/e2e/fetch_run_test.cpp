// Whole runs of the native nolkpatch with FetchPackages=1: packages fetched from the loopback server
// into an empty or partly filled var/gac, cut transfers resumed, killed runs taken up again, and
// every way a package can fail to arrive. Digests from md5sum, trees compared byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/minisign_tool.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

using testsupport::HttpAnswer;
using testsupport::HttpTestServer;
using testsupport::ProcessResult;

namespace {

const char kListPath[] = "/package/website/patchlist.txt";

std::string U(const std::string& gbk) { return platform::GbkToUtf8(gbk); }

// One chain for the whole program: the builder takes a moment.
const testsupport::UpdateChain& Chain() {
  static testsupport::TempDir dir;
  static testsupport::UpdateChain chain = [] {
    testsupport::UpdateChain c;
    std::string error;
    EXPECT_TRUE(testsupport::MakeUpdateChain(dir.Path(), "2.1.14", 3, 80, 11, &c, &error)) << error;
    return c;
  }();
  return chain;
}

std::uint64_t SizeOf(const std::string& path) {
  std::string bytes;
  return testsupport::ReadFile(path, &bytes) ? bytes.size() : 0;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// An installation at 2.1.14 with nothing in var/gac but its INI files; the packages are served from
// served/package/ and listed with the server's URLs.
class FetchRun : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }

  // A new installation and a new server, for each case of a table.
  void Fresh() {
    server_.reset();
    tmp_.reset(new testsupport::TempDir());
    server_.reset(new HttpTestServer());
    total_ = 0;
    const testsupport::UpdateChain& chain = Chain();
    ASSERT_EQ(chain.packages.size(), 3u);
    game_ = tmp_->Path() + "/game";
    served_ = tmp_->Path() + "/served";
    testsupport::MakeDirs(served_ + "/package");
    for (std::size_t i = 0; i < 3; ++i) {
      std::string bytes;
      ASSERT_TRUE(testsupport::ReadFile(chain.packages[i], &bytes));
      testsupport::WriteFile(served_ + "/package/" + chain.PackageName(i), bytes);
      total_ += bytes.size();
    }
    testsupport::MakeInstallation(chain, game_, testsupport::Env("NOLK_BIN_DIR"), server_->Url(kListPath),
                                  server_->Url("/query?"));
    for (std::size_t i = 0; i < 3; ++i) testsupport::RemoveTree(Gac(chain.PackageName(i)));
    server_->SetAnswer("/query?", HttpAnswer::Ok(""));
    server_->ServeDirectory(served_);
    SetList(chain.ListBody(server_->Url("/package/")));
    Configure("1");
  }

  void SetList(const std::string& body) { server_->SetAnswer(kListPath, HttpAnswer::Ok(body)); }
  void Configure(const std::string& fetch) {
    testsupport::WriteFile(Gac("Url.ini"), testsupport::UrlIniText(server_->Url(kListPath), server_->Url("/query?")) +
                                               "FetchPackages=" + fetch + "\r\n");
  }
  std::string Gac(const std::string& name) const { return game_ + "/var/gac/" + name; }
  std::string Name(std::size_t i) const { return Chain().PackageName(i); }
  std::string Served(std::size_t i) const { return served_ + "/package/" + Name(i); }
  ProcessResult Run() { return testsupport::RunProcess(testsupport::ProgramOptions(game_, tmp_->Path())); }
  std::string Log() {
    std::string text;
    testsupport::ReadFile(game_ + "/bin/patch/nolk.log", &text);
    return text;
  }
  // The Range headers of the GETs of package i, "" for a GET without one.
  std::vector<std::string> Ranges(std::size_t i) {
    std::vector<std::string> out;
    for (const testsupport::HttpRequestRecord& r : server_->Requests())
      if (r.method == "GET" && r.target == "/package/" + Name(i)) out.push_back(r.Header("Range"));
    return out;
  }
  std::size_t RequestsNaming(std::size_t i) {
    std::size_t n = 0;
    for (const testsupport::HttpRequestRecord& r : server_->Requests())
      n += r.target.find(Name(i)) != std::string::npos && r.target.compare(0, 7, "/query?") != 0;
    return n;
  }
  std::string Version() {
    std::string ini;
    testsupport::ReadFile(Gac("update.ini"), &ini);
    std::size_t p = ini.find("Version=");
    return p == std::string::npos ? "" : ini.substr(p + 8, ini.find_first_of("\r\n", p) - p - 8);
  }
  bool AnySideFile() {
    for (const std::string& f : testsupport::ListTree(game_ + "/var/gac"))
      if (f.find(".nolkpatch-part") != std::string::npos) return true;
    return false;
  }
  // The run reached 2.1.17 with the newest tree, every package in var/gac as md5sum sees the list's
  // digest, and no side file left.
  void ExpectUpdated(const ProcessResult& r) {
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testsupport::CompareTrees(Chain().trees[3], game_, testsupport::InstallationOnly),
              std::vector<std::string>());
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(testsupport::ReferenceMd5(Gac(Name(i))), Chain().md5s[i]) << i;
    EXPECT_FALSE(AnySideFile());
  }

  std::unique_ptr<testsupport::TempDir> tmp_;
  std::unique_ptr<HttpTestServer> server_;
  std::string game_, served_;
  std::uint64_t total_ = 0;
};

TEST_F(FetchRun, PackagesArriveWhicheverWayTheServerAndVarGacLeaveThem) {
  const std::uint64_t size0 = SizeOf(Served(0)), size2 = SizeOf(Served(2)), half0 = size0 / 2, half2 = size2 / 2;
  std::string bytes0, bytes2;
  ASSERT_TRUE(testsupport::ReadFile(Served(0), &bytes0) && testsupport::ReadFile(Served(2), &bytes2));
  const std::string range0 = "bytes=" + std::to_string(half0) + "-";
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::uint64_t served;                // file body bytes the server sent in all
    std::vector<std::string> ranges0;    // Range headers of package 0's GETs
    std::vector<std::string> ranges2;    // and of package 2's
    std::string logged;                  // a run-log text that shows the way taken
  } cases[] = {
      {"empty var/gac", [] {}, total_, {""}, {""}, "续传自 0 字节"},
      {"a cut in the middle is resumed from the cut",
       [&] { server_->CutNextBodies(1, half0); }, total_, {"", range0}, {""}, "续传自 " + std::to_string(half0)},
      {"a server without ranges starts again from 0",
       [&] { server_->CutNextBodies(1, half0), server_->IgnoreRanges(true); }, total_ + half0, {"", range0}, {""},
       "服务器不支持续传, 已从头下载"},
      {"a side file left by a run before is resumed",
       [&] { testsupport::WriteFile(Gac(Name(2)) + ".nolkpatch-part", bytes2.substr(0, half2)); }, total_ - half2,
       {""}, {"bytes=" + std::to_string(half2) + "-"}, "续传自 " + std::to_string(half2)},
      {"a whole side file answered with 416 takes the package's name",
       [&] { testsupport::WriteFile(Gac(Name(0)) + ".nolkpatch-part", bytes0); }, total_ - size0,
       {"bytes=" + std::to_string(size0) + "-"}, {""}, "服务器答 416, 临时文件已完整"},
      {"a package present and right is not asked for",
       [&] { testsupport::WriteFile(Gac(Name(2)), bytes2); }, total_ - size2, {""}, {}, "完成"},
      {"a package present with another digest is fetched over it",
       [&] { testsupport::WriteFile(Gac(Name(0)), bytes0.substr(1)); }, total_, {""}, {""}, "完成"},
      {"bytes past the Content-Length are never written", [&] { server_->SendExtraBodyBytes(1000); }, total_, {""},
       {""}, "完成"},
      {"a redirect is followed",
       [&] {
         server_->SetAnswer("/moved/" + Name(0), HttpAnswer::Redirect(302, server_->Url("/package/" + Name(0))));
         std::string list = Chain().ListBody(server_->Url("/package/"));
         SetList(list.replace(list.find("/package/" + Name(0)), 9, "/moved/"));
       },
       total_, {""}, {""}, "完成"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    ProcessResult r = Run();
    ExpectUpdated(r);
    EXPECT_EQ(server_->FileBodyBytesSent(), c.served);
    EXPECT_EQ(Ranges(0), c.ranges0);
    EXPECT_EQ(Ranges(2), c.ranges2);
    if (c.ranges2.empty()) {
      EXPECT_EQ(RequestsNaming(2), 0u);  // not even its size was asked for
    }
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    // The window's download row shows the server's figures: what is missing, then all of it.
    const bool sentTwice = std::string(c.what).find("without ranges") != std::string::npos;
    const std::uint64_t planned = c.served - (sentTwice ? half0 : 0);
    EXPECT_NE(r.err.find(U("当前更新数据量: " + std::to_string(planned) + " byte")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(U("正在下载 " + Name(1))), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[##############################] 100%"), std::string::npos) << r.err;
    // Standard output keeps its lines: one "Now Version:" per package, the rest "Now Status:".
    EXPECT_EQ(Count(r.out, "Now Version:"), 3u) << r.out;
    EXPECT_EQ(Count(r.out, "\n"), Count(r.out, "Now Version:") + Count(r.out, "Now Status:")) << r.out;
  }
}

TEST_F(FetchRun, APackageThatCannotBeHadStopsTheRunWithItsBoxAndNothingIsApplied) {
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::size_t gets;      // GETs of package 1
    std::string logged;    // why, as the run log says
    std::size_t times;     // how often that is logged
    bool sideFileKept;
  } cases[] = {
      {"404", [&] { testsupport::RemoveTree(Served(1)); }, 1, "失败, HTTP 404", 1, false},
      {"a wrong body twice", [&] { testsupport::WriteFile(Served(1), "not the package"); }, 2, "MD5校验失败", 2, false},
      {"another scheme",
       [&] {
         std::string list = Chain().ListBody(server_->Url("/package/"));
         SetList(list.replace(list.find(server_->Url("/package/" + Name(1))), 4, "ftp"));
       },
       0, "失败, not an http or https URL", 1, false},
      {"a redirect loop",
       [&] {
         server_->SetAnswer("/loop/" + Name(1), HttpAnswer::Redirect(302, server_->Url("/loop/" + Name(1))));
         std::string list = Chain().ListBody(server_->Url("/package/"));
         SetList(list.replace(list.find("/package/" + Name(1)), 9, "/loop/"));
       },
       0, "Maximum (5) redirects followed", 1, false},
      {"six cuts",
       [&] {
         std::string bytes;
         testsupport::ReadFile(Served(0), &bytes);
         testsupport::WriteFile(Gac(Name(0)), bytes);
         server_->CutNextBodies(100, 10);
       },
       6, "中断, ", 5, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    ProcessResult r = Run();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(U("验证[" + Name(1) + "]过程中发生错误, 放弃继续更新。")), std::string::npos) << r.err;
    EXPECT_EQ(Version(), "2.1.14");
    EXPECT_EQ(testsupport::CompareTrees(Chain().trees[0], game_, testsupport::InstallationOnly),
              std::vector<std::string>());
    EXPECT_FALSE(testsupport::Exists(Gac(Name(1))));
    EXPECT_EQ(testsupport::Exists(Gac(Name(1) + ".nolkpatch-part")), c.sideFileKept);
    EXPECT_EQ(Ranges(1).size(), c.gets);
    EXPECT_TRUE(Ranges(2).empty());  // the third package is never fetched
    EXPECT_EQ(Count(Log(), c.logged), c.times) << Log();
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(FetchRun, AClosedOrKilledRunLeavesItsSideFileAndTheNextRunResumesIt) {
  for (int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal);
    Fresh();
    HttpAnswer slow;
    slow.trickleBytes = 4096;
    slow.trickleDelayMs = 20;
    server_->ServeDirectory(served_, slow);
    testsupport::ChildProcess run(testsupport::ProgramOptions(game_, tmp_->Path()));
    const std::string part = Gac(Name(0)) + ".nolkpatch-part";
    for (int i = 0; i < 600 && SizeOf(part) < 20000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(SizeOf(part), 20000u);
    const auto sent = std::chrono::steady_clock::now();
    run.Kill(signal);
    ProcessResult first = run.Wait();
    // A close ends the transfer within a second; the window then ends the run.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
    if (signal == SIGINT) {
      EXPECT_EQ(first.exitCode, 1) << first.err;
    }
    const std::uint64_t kept = SizeOf(part);
    EXPECT_GE(kept, 20000u);
    EXPECT_FALSE(testsupport::Exists(Gac(Name(0))));

    server_->ServeDirectory(served_);
    const std::uint64_t before = server_->FileBodyBytesSent();
    ExpectUpdated(Run());
    EXPECT_EQ(Ranges(0).back(), "bytes=" + std::to_string(kept) + "-");
    EXPECT_NE(Log().find("续传自 " + std::to_string(kept) + " 字节"), std::string::npos) << Log();
    // What was missing, and at most the piece the server was still putting to the dead connection.
    EXPECT_GE(server_->FileBodyBytesSent() - before, total_ - kept);
    EXPECT_LE(server_->FileBodyBytesSent() - before, total_ - kept + slow.trickleBytes);
  }
}

TEST_F(FetchRun, FetchPackagesTakesOnly1Or0) {
  for (const char* value : {"yes", "2", "1 ", "true"}) {
    SCOPED_TRACE(value);
    Fresh();
    Configure(std::string("\"") + value + "\"");
    ProcessResult r = Run();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(U("Url.ini 中的 FetchPackages=" + std::string(value) + " 无效")), std::string::npos) << r.err;
    EXPECT_EQ(server_->RequestCount(), 0u);
  }
  // Empty and 0 keep the run without transfers: the missing package's box, nothing asked for.
  for (const char* value : {"", "0"}) {
    SCOPED_TRACE(value);
    Fresh();
    Configure(value);
    ProcessResult r = Run();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(U("验证[" + Name(0) + "]过程中发生错误, 放弃继续更新。")), std::string::npos) << r.err;
    EXPECT_EQ(server_->FileBodyBytesSent(), 0u);
    EXPECT_EQ(RequestsNaming(0), 0u);
  }
}

TEST_F(FetchRun, WithASignedListTheFetchedPackageIsTheOneTheListPins) {
  testsupport::TempDir keys;
  const testsupport::MinisignKey key = testsupport::MakeMinisignKey(keys.Path(), "k");
  for (bool served : {true, false}) {  // the served package as released, or another one
    SCOPED_TRACE(served);
    Fresh();
    const std::string list = Chain().ListBody(server_->Url("/package/"));
    SetList(list);
    server_->SetAnswer(std::string(kListPath) + ".minisig", HttpAnswer::Ok(testsupport::MinisignSign(key, list)));
    std::string ini;
    testsupport::ReadFile(Gac("Url.ini"), &ini);
    testsupport::WriteFile(Gac("Url.ini"), ini + "ListKey=" + key.publicLine + "\r\n");
    if (!served) testsupport::WriteFile(Served(0), "a package the operator never signed for");
    ProcessResult r = Run();
    if (served) {
      ExpectUpdated(r);
    } else {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(Version(), "2.1.14");
      EXPECT_FALSE(testsupport::Exists(Gac(Name(0))));
    }
  }
}

// A test certificate authority and three server certificates, made with the openssl tool.
struct TestCerts {
  testsupport::TempDir dir;
  std::string Path(const std::string& name) const { return dir.Path() + "/" + name; }
  TestCerts() {
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             Path("ca.key"), "-out", Path("ca.pem"), "-subj", "/CN=nolk test CA", "-days", "2", "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"});
    Signed("good", "IP:127.0.0.1");
    Signed("wronghost", "DNS:packages.invalid");
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             Path("untrusted.key"), "-out", Path("untrusted.pem"), "-subj", "/CN=127.0.0.1", "-days", "2", "-addext",
             "subjectAltName=IP:127.0.0.1"});
    // What the program under test trusts: the test CA alone, in place of the system's bundle.
    testsupport::MakeDirs(Path("trust"));
    std::string ca;
    testsupport::ReadFile(Path("ca.pem"), &ca);
    testsupport::WriteFile(Path("trust/ca-certificates.crt"), ca);
  }
  void Signed(const std::string& name, const std::string& altName) {
    testsupport::WriteFile(Path(name + ".ext"), "subjectAltName=" + altName + "\n");
    Openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             Path(name + ".key"), "-out", Path(name + ".csr"), "-subj", "/CN=" + name});
    Openssl({"x509", "-req", "-in", Path(name + ".csr"), "-CA", Path("ca.pem"), "-CAkey", Path("ca.key"),
             "-CAcreateserial", "-out", Path(name + ".pem"), "-days", "2", "-extfile", Path(name + ".ext")});
  }
  static void Openssl(const std::vector<std::string>& args) {
    testsupport::ProcessOptions o;
    o.argv = {"/usr/bin/openssl"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    ProcessResult r = testsupport::RunProcess(o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
};

// The program sees the test CA where libcurl looks for the system's certificates, in a mount
// namespace of its own: the product itself has no way to be told what to trust.
testsupport::ProcessOptions WithTestTrust(testsupport::ProcessOptions o, const std::string& trustDir) {
  std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                   "mount --bind \"$1\" /etc/ssl/certs && exec \"$0\"", o.argv[0], trustDir};
  o.argv = argv;
  return o;
}

TEST_F(FetchRun, HttpsChecksTheCertificateAndTheHostName) {
  static const TestCerts certs;
  const struct {
    const char* cert;
    bool works;
  } cases[] = {{"good", true}, {"wronghost", false}, {"untrusted", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cert);
    Fresh();
    const std::uint16_t port = testsupport::RefusedPort();
    testsupport::ProcessOptions so;
    so.argv = {"/usr/bin/openssl", "s_server", "-WWW", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
               certs.Path(std::string(c.cert) + ".pem"), "-key", certs.Path(std::string(c.cert) + ".key")};
    so.cwd = served_;
    testsupport::ChildProcess tls(so);
    for (int i = 0; i < 250 && tls.OutputSoFar().find("ACCEPT") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(tls.OutputSoFar().find("ACCEPT"), std::string::npos);
    SetList(Chain().ListBody("https://127.0.0.1:" + std::to_string(port) + "/package/"));
    ProcessResult r =
        testsupport::RunProcess(WithTestTrust(testsupport::ProgramOptions(game_, tmp_->Path()), certs.Path("trust")));
    if (c.works) {
      ExpectUpdated(r);
    } else {
      EXPECT_EQ(r.exitCode, 1) << r.err;
      EXPECT_NE(r.err.find(U("验证[" + Name(0) + "]过程中发生错误")), std::string::npos) << r.err;
      EXPECT_EQ(Count(Log(), "失败, "), 1u) << Log();
      EXPECT_NE(Log().find("certificate"), std::string::npos) << Log();
      EXPECT_EQ(Version(), "2.1.14");
    }
    tls.Kill(SIGTERM);
  }
}

}  // namespace
