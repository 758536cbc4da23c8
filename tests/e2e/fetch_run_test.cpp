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

const testsupport::MinisignKey& TestKey() {
  static testsupport::TempDir dir;
  static const testsupport::MinisignKey key = testsupport::MakeMinisignKey(dir.Path(), "k");
  return key;
}

const std::string kPart = ".nolkpatch-part";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
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
    const testsupport::UpdateChain& chain = Chain();
    game_ = tmp_->Path() + "/game";
    served_ = tmp_->Path() + "/served";
    testsupport::MakeDirs(served_);
    testsupport::CopyTree(chain.packages[0].substr(0, chain.packages[0].rfind('/')), served_ + "/package");
    total_ = SizeOf(Served(0)) + SizeOf(Served(1)) + SizeOf(Served(2));
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
  // Where each GET of package i began: 0, or the N of its "Range: bytes=N-"; blank-separated.
  std::string From(std::size_t i) {
    std::string out;
    for (const testsupport::HttpRequestRecord& r : server_->Requests())
      if (r.method == "GET" && r.target == "/package/" + Name(i)) {
        const std::string range = r.Header("Range");  // "bytes=N-"
        out += (out.empty() ? "" : " ") + (range.empty() ? "0" : range.substr(6, range.size() - 7));
      }
    return out;
  }
  std::string List() { return Chain().ListBody(server_->Url("/package/")); }
  // Package i listed below path instead, where the server gives answer.
  void MoveUrl(std::size_t i, const std::string& path, const HttpAnswer& answer) {
    server_->SetAnswer(path + Name(i), answer);
    SetList(Replace(List(), "/package/" + Name(i), path + Name(i)));
  }
  std::size_t RequestsNaming(std::size_t i) {
    std::size_t n = 0;
    for (const testsupport::HttpRequestRecord& r : server_->Requests())
      n += r.target.find(Name(i)) != std::string::npos && r.target.compare(0, 7, "/query?") != 0;
    return n;
  }
  // The run reached 2.1.17 with the newest tree, every package in var/gac as md5sum sees the list's
  // digest, and no side file left.
  void ExpectUpdated(const ProcessResult& r) {
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testsupport::CompareTrees(Chain().trees[3], game_, testsupport::InstallationOnly),
              std::vector<std::string>());
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(testsupport::ReferenceMd5(Gac(Name(i))), Chain().md5s[i]) << i;
    for (const std::string& f : testsupport::ListTree(game_ + "/var/gac"))
      EXPECT_EQ(f.find(".nolkpatch-part"), std::string::npos) << f;
  }
  // Package i failed with its box and exit code 1, and nothing was applied (update.ini included).
  void ExpectStopped(const ProcessResult& r, std::size_t i) {
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find(U("验证[" + Name(i) + "]过程中发生错误, 放弃继续更新。")), std::string::npos) << r.err;
    EXPECT_EQ(testsupport::CompareTrees(Chain().trees[0], game_, testsupport::InstallationOnly),
              std::vector<std::string>());
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
  auto n = [](std::uint64_t v) { return std::to_string(v); };
  auto sign = [&] {
    const std::string list = Chain().ListBody(server_->Url("/package/"));
    // The trusted comment must name the list's file as its URL does.
    const std::string sig = testsupport::MinisignSign(TestKey(), list, false, "patchlist.txt");
    server_->SetAnswer(std::string(kListPath) + ".minisig", HttpAnswer::Ok(sig));
    Configure("1\r\nListKey=" + TestKey().publicLine);
  };
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::uint64_t served;      // file body bytes the server sent in all
    std::string from0, from2;  // where the GETs of packages 0 and 2 began
    std::string logged;        // a run-log text that shows the way taken
  } cases[] = {
      {"empty var/gac", [] {}, total_, "0", "0", "续传自 0 字节"},
      {"a cut resumed", [&] { server_->CutNextBodies(1, half0); }, total_, "0 " + n(half0), "0", "续传自 " + n(half0)},
      {"no ranges", [&] { server_->CutNextBodies(1, half0), server_->IgnoreRanges(true); }, total_ + half0,
       "0 " + n(half0), "0", "服务器不支持续传, 已从头下载"},
      {"a side file", [&] { testsupport::WriteFile(Gac(Name(2)) + kPart, bytes2.substr(0, half2)); }, total_ - half2,
       "0", n(half2), "续传自 " + n(half2)},
      {"a whole side file", [&] { testsupport::WriteFile(Gac(Name(0)) + kPart, bytes0); }, total_ - size0, n(size0),
       "0", "服务器答 416, 临时文件已完整"},
      {"present and right", [&] { testsupport::WriteFile(Gac(Name(2)), bytes2); }, total_ - size2, "0", "", "完成"},
      {"present and wrong", [&] { testsupport::WriteFile(Gac(Name(0)), bytes0.substr(1)); }, total_, "0", "0", "完成"},
      {"a redirect", [&] { MoveUrl(0, "/moved/", HttpAnswer::Redirect(302, server_->Url("/package/" + Name(0)))); },
       total_, "0", "0", "完成"},
      {"a signed list", sign, total_, "0", "0", "完成"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    ProcessResult r = Run();
    ExpectUpdated(r);
    EXPECT_EQ(server_->FileBodyBytesSent(), c.served);
    EXPECT_EQ(From(0), c.from0);
    EXPECT_EQ(From(2), c.from2);
    EXPECT_EQ(RequestsNaming(2) == 0, c.from2.empty());  // not even its size was asked for
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    // The window's download row shows the server's figures: what is missing, then all of it.
    const std::uint64_t planned = c.served - (std::string(c.what) == "no ranges" ? half0 : 0);
    EXPECT_NE(r.err.find(U("当前更新数据量: " + n(planned) + " byte")), std::string::npos) << r.err;
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
    std::string from1;   // where the GETs of package 1 began
    std::string logged;  // why, as the run log says
    std::size_t times;   // how often that is logged
    bool sideFileKept;
  } cases[] = {
      {"404", [&] { testsupport::RemoveTree(Served(1)); }, "0", "失败, HTTP 404", 1, false},
      {"a wrong body twice", [&] { testsupport::WriteFile(Served(1), "not it"); }, "0 0", "MD5校验失败", 2, false},
      {"another scheme",
       [&] { SetList(Replace(List(), server_->Url("/package/" + Name(1)), "ftp://127.0.0.1/" + Name(1))); }, "",
       "失败, not an http or https URL", 1, false},
      {"a redirect loop", [&] { MoveUrl(1, "/loop/", HttpAnswer::Redirect(302, server_->Url("/loop/" + Name(1)))); },
       "", "Maximum (5) redirects followed", 1, false},
      {"six cuts", [&] { testsupport::CopyTree(Served(0), Gac(Name(0))), server_->CutNextBodies(100, 10); },
       "0 10 20 30 40 50", "中断, ", 5, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    ExpectStopped(Run(), 1);
    EXPECT_FALSE(testsupport::Exists(Gac(Name(1))));
    EXPECT_EQ(testsupport::Exists(Gac(Name(1) + kPart)), c.sideFileKept);
    EXPECT_EQ(From(1), c.from1);
    EXPECT_EQ(From(2), "");  // the third package is never fetched
    EXPECT_EQ(Count(Log(), c.logged), c.times) << Log();
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
    const std::string part = Gac(Name(0)) + kPart;
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
    EXPECT_FALSE(testsupport::Exists(Gac(Name(0))));

    server_->ServeDirectory(served_);
    const std::uint64_t before = server_->FileBodyBytesSent();
    ExpectUpdated(Run());
    EXPECT_EQ(From(0), "0 " + std::to_string(kept));
    EXPECT_NE(Log().find("续传自 " + std::to_string(kept) + " 字节"), std::string::npos) << Log();
    // What was missing, and at most the piece the server was still putting to the dead connection.
    EXPECT_GE(server_->FileBodyBytesSent() - before, total_ - kept);
    EXPECT_LE(server_->FileBodyBytesSent() - before, total_ - kept + slow.trickleBytes);
  }
}

TEST_F(FetchRun, FetchPackagesTakesOnly1Or0) {
  // Anything but 1, 0 or nothing stops before any request, the value as read in its box; 0 and
  // nothing keep the run without transfers: the missing package's box, no request for it.
  const std::pair<std::string, std::string> cases[] = {{"yes", "yes"},   {"2", "2"}, {"true", "true"},
                                                       {"\"1 \"", "1 "}, {"", ""},   {"0", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Fresh();
    Configure(c.first);
    ProcessResult r = Run();
    if (!c.second.empty()) {
      EXPECT_EQ(r.exitCode, 2);
      EXPECT_NE(r.err.find(U("Url.ini 中的 FetchPackages=" + c.second + " 无效")), std::string::npos) << r.err;
      EXPECT_EQ(server_->RequestCount(), 0u);
    } else {
      ExpectStopped(r, 0);
      EXPECT_EQ(RequestsNaming(0), 0u);
    }
  }
}

// A test certificate authority and three server certificates, made with the openssl tool.
struct TestCerts {
  testsupport::TempDir dir;
  std::string Path(const std::string& name) const { return dir.Path() + "/" + name; }
  TestCerts() {
    NewKey("ca", ".crt", {"-x509", "-subj", "/CN=nolk test CA", "-addext", "basicConstraints=critical,CA:TRUE"});
    NewKey("untrusted", ".crt", {"-x509", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    for (const char* name : {"good", "wronghost"}) {
      testsupport::WriteFile(Path(name) + ".ext", std::string("subjectAltName=") +
                                                      (name[0] == 'g' ? "IP:127.0.0.1" : "DNS:packages.invalid"));
      NewKey(name, ".csr", {"-subj", "/CN=127.0.0.1"});  // a request, signed by the CA:
      Openssl({"x509", "-req", "-in", Path(name) + ".csr", "-CA", Path("ca.crt"), "-CAkey", Path("ca.key"),
               "-CAcreateserial", "-days", "2", "-extfile", Path(name) + ".ext", "-out", Path(name) + ".crt"});
    }
    // What the program under test trusts: the test CA alone, in place of the system's bundle.
    testsupport::MakeDirs(Path("trust"));
    testsupport::CopyTree(Path("ca.crt"), Path("trust/ca-certificates.crt"));
  }
  void NewKey(const std::string& name, const char* out, std::vector<std::string> args) {
    args.insert(args.begin(), {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
                               "2", "-keyout", Path(name) + ".key", "-out", Path(name) + out});
    Openssl(args);
  }
  static void Openssl(std::vector<std::string> args) {
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
  std::vector<std::string> argv = {
      "/usr/bin/unshare", "-m",    "/bin/sh", "-c", "mount --bind \"$1\" /etc/ssl/certs && exec \"$0\"",
      o.argv[0],          trustDir};
  o.argv = argv;
  return o;
}

TEST_F(FetchRun, HttpsChecksTheCertificateAndTheHostName) {
  static const TestCerts certs;
  const std::pair<const char*, bool> cases[] = {{"good", true}, {"wronghost", false}, {"untrusted", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Fresh();
    const std::uint16_t port = testsupport::RefusedPort();
    testsupport::ProcessOptions so;
    const std::string cert = certs.Path(c.first), at = "127.0.0.1:" + std::to_string(port);
    so.argv = {"/usr/bin/openssl", "s_server", "-WWW", "-accept", at, "-cert", cert + ".crt", "-key", cert + ".key"};
    so.cwd = served_;
    testsupport::ChildProcess tls(so);
    for (int i = 0; i < 250 && tls.OutputSoFar().find("ACCEPT") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(tls.OutputSoFar().find("ACCEPT"), std::string::npos);
    SetList(Chain().ListBody("https://127.0.0.1:" + std::to_string(port) + "/package/"));
    ProcessResult r =
        testsupport::RunProcess(WithTestTrust(testsupport::ProgramOptions(game_, tmp_->Path()), certs.Path("trust")));
    if (c.second) {
      ExpectUpdated(r);
    } else {
      ExpectStopped(r, 0);
      EXPECT_EQ(Count(Log(), "失败, "), 1u) << Log();
      EXPECT_NE(Log().find("certificate"), std::string::npos) << Log();
    }
    tls.Kill(SIGTERM);
  }
}

}  // namespace
