// Whole runs of the native nolkpatch up to the hand-over to the apply phase: a temporary installation
// two levels above the start folder, the update list and the statistics server on loopback.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <ctime>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "platform/network_info.h"
#include "tests/support/host_lookup.h"
#include "tests/support/http_test_server.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

using testsupport::HttpAnswer;
using testsupport::HttpTestServer;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string U(const std::string& gbk) { return platform::GbkToUtf8(gbk); }

std::string BinDir() {
  const char* b = std::getenv("NOLK_BIN_DIR");
  return b ? b : "";
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

// An empty but valid package: header, then a bzip2 body holding only the one-byte tail.
std::string EmptyPackage(unsigned major, unsigned minor, unsigned patch, std::uint32_t salt) {
  std::uint32_t version = (major << 24) | (minor << 16) | patch;
  std::string out = "ZBNR";
  for (int i = 0; i < 4; ++i) out += static_cast<char>((version >> (8 * i)) & 0xFF);
  for (int i = 0; i < 4; ++i) out += static_cast<char>((salt >> (8 * i)) & 0xFF);
  char tail = 0;
  char body[256];
  unsigned len = sizeof body;
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(body, &len, &tail, 1, 9, 0, 0), BZ_OK);
  return out + std::string(body, len);
}

class AppRun : public ::testing::Test {
 protected:
  void SetUp() override {
    game_ = tmp_.Path() + "/game";
    start_ = game_ + "/bin/patch";
    gac_ = game_ + "/var/gac";
    testsupport::MakeBareInstallation(game_, "2.1.14", server_.Url("/patchlist.txt"), server_.Url("/query?"));
    server_.SetDefault(HttpAnswer::Ok(""));
  }

  // Runs the program in the start folder with standard input not a terminal; the guard's lock
  // file lies in this test's own folder.
  Result Run(const std::string& args, const std::string& program = "", bool background = false) {
    std::string exe = program.empty() ? BinDir() + "/nolkpatch" : program;
    std::string tag = std::to_string(runs_++);
    std::string out = tmp_.Path() + "/out" + tag, err = tmp_.Path() + "/err" + tag;
    std::string cmd = "cd " + Quote(start_) + " && TMPDIR=" + Quote(tmp_.Path()) + " LANG=C.UTF-8 LC_ALL=C.UTF-8 " +
                      Quote(exe) + " " + args + " </dev/null >" + Quote(out) + " 2>" + Quote(err);
    if (background) cmd = "(" + cmd + "; echo $? >" + Quote(tmp_.Path() + "/rc" + tag) + ") &";
    Result r;
    int status = std::system(cmd.c_str());
    if (background) return r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ReadFile(out, &r.out);
    ReadFile(err, &r.err);
    return r;
  }

  std::string Log() {
    std::string s;
    ReadFile(start_ + "/nolk.log", &s);
    return s;
  }

  // Writes a package into var/gac and returns its list line.
  std::string Package(const std::string& name, unsigned patch, bool present = true) {
    std::string bytes = EmptyPackage(2, 1, patch, patch * 7919u);
    std::string path = gac_ + "/" + name;
    WriteFile(path, bytes);
    std::string md5 = testsupport::ReferenceMd5(path);
    if (!present) std::remove(path.c_str());
    md5s_[name] = md5;
    return "2.1." + std::to_string(patch) + " http://127.0.0.1/package/" + name + " " + md5 + "\n";
  }

  void ServeList(const std::string& body) { server_.SetAnswer("/patchlist.txt", HttpAnswer::Ok(body)); }

  // The statistics queries the server saw, in order.
  std::vector<std::string> Queries() {
    std::vector<std::string> q;
    for (const auto& r : server_.Requests())
      if (r.target.compare(0, 7, "/query?") == 0) q.push_back(r.target);
    return q;
  }

  // The exact query for a package, with the times the program reported (checked for sense here).
  std::string ExpectedQuery(const std::string& actual, const std::string& err, const std::string& file) {
    long long startTime = 0, endTime = 0;
    std::size_t s = actual.find("&start="), e = actual.find("&end=");
    if (s != std::string::npos) startTime = std::atoll(actual.c_str() + s + 7);
    if (e != std::string::npos) endTime = std::atoll(actual.c_str() + e + 5);
    long long now = static_cast<long long>(std::time(nullptr));
    EXPECT_LE(startTime, endTime);
    EXPECT_GE(startTime, now - 120);
    EXPECT_LE(endTime, now);
    std::string clip = testsupport::HostNameAddress();
    return "/query?proj=rn4&dtype=http&avg=0&start=" + std::to_string(startTime) + "&end=" + std::to_string(endTime) +
           "&clip=" + clip + "&dns=" + platform::FirstDnsServer() + "&err=" + err + "&file=" + file + "&dlip=127.0.0.1";
  }

  std::string CheckLine(const std::string& name) {
    return "文件已存在，MD5校验成功 " + game_ + "/var/gac/" + name + " " + md5s_[name] + "\r\n";
  }

  TempDir tmp_;
  HttpTestServer server_;
  std::string game_, start_, gac_;
  std::map<std::string, std::string> md5s_;
  int runs_ = 0;
};

TEST_F(AppRun, EmptyListEndsAtOnceWithExitZero) {
  ServeList("2.1.14 http://127.0.0.1/package/old.pak 00000000000000000000000000000000\n");
  Result r = Run("");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Log(), "命令行参数:\r\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Queries().empty());
  EXPECT_EQ(server_.RequestCount(), 1u);
  // The terminal shows the window's title; nothing was checked.
  EXPECT_NE(r.err.find(U("《Nolk2》更新程序")), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(U("开始验证")), std::string::npos) << r.err;
}

TEST_F(AppRun, SentinelVersionMakesNoRequest) {
  WriteFile(gac_ + "/update.ini", "[Setting]\r\nVersion=1.255.255\r\n");
  Result r = Run("");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(server_.RequestCount(), 0u);
}

TEST_F(AppRun, TwoGoodPackagesAreCheckedReportedAndHandedOver) {
  ServeList(Package("p1.pak", 15) + Package("p2.pak", 16));
  Result r = Run("");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Log(), "命令行参数:\r\n" + CheckLine("p1.pak") + CheckLine("p2.pak"));
  std::size_t first = r.err.find(U("开始验证 p1.pak"));
  std::size_t second = r.err.find(U("开始验证 p2.pak"));
  std::size_t handOver = r.err.find(U("下载数据完毕, 正在进行解压..."));
  ASSERT_NE(first, std::string::npos) << r.err;
  ASSERT_NE(second, std::string::npos) << r.err;
  ASSERT_NE(handOver, std::string::npos) << r.err;
  EXPECT_LT(first, second);
  EXPECT_LT(second, handOver);
  std::vector<std::string> q = Queries();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0], ExpectedQuery(q[0], "finish", "p1.pak"));
  EXPECT_EQ(q[1], ExpectedQuery(q[1], "finish", "p2.pak"));
}

TEST_F(AppRun, SecondOfThreeMissingStopsTheRun) {
  ServeList(Package("p1.pak", 15) + Package("p2.pak", 16, false) + Package("p3.pak", 17));
  Result r = Run("");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find(U("[提示] 验证[p2.pak]过程中发生错误, 放弃继续更新。")), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(U("p3.pak")), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(U("下载数据完毕")), std::string::npos) << r.err;
  // The missing file is not opened, so it leaves no log line.
  EXPECT_EQ(Log(), "命令行参数:\r\n" + CheckLine("p1.pak"));
  std::vector<std::string> q = Queries();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0], ExpectedQuery(q[0], "finish", "p1.pak"));
  EXPECT_EQ(q[1], ExpectedQuery(q[1], "cancel", "p2.pak"));
  EXPECT_EQ(r.out, "");
}

TEST_F(AppRun, WrongDigestIsLoggedWithBothDigestsAndStops) {
  std::string line = Package("p1.pak", 15);
  std::string upper = md5s_["p1.pak"];
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ServeList("2.1.15 http://127.0.0.1/package/p1.pak " + upper + "\n");
  Result r = Run("");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(Log(), "命令行参数:\r\n文件已存在，MD5校验失败，需要重新下载 " + game_ + "/var/gac/p1.pak " + upper + " " +
                       md5s_["p1.pak"] + "\r\n");
  std::vector<std::string> q = Queries();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0], ExpectedQuery(q[0], "cancel", "p1.pak"));
}

TEST_F(AppRun, UrlEndingInSlashStopsBeforeAnyTextForIt) {
  ServeList(Package("p1.pak", 15) + "2.1.16 http://127.0.0.1/package/ 0123\n");
  Result r = Run("");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find(U("[nolkpatch] url错误")), std::string::npos) << r.err;
  EXPECT_EQ(Queries().size(), 1u);
  EXPECT_EQ(r.err.find(U("下载数据完毕")), std::string::npos) << r.err;
}

TEST_F(AppRun, UnreadableVersionEndsWithExitTwo) {
  WriteFile(gac_ + "/update.ini", "[Setting]\r\nVersion=abc\r\n");
  Result r = Run("");
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find(U("检查当前版本号错误")), std::string::npos) << r.err;
}

TEST_F(AppRun, PartnerCodeFollowsTheSwitch) {
  const std::string file = gac_ + "/KirvanCode";
  std::string code;

  Result r = Run("--kirvan CODE42");
  EXPECT_EQ(r.code, 0) << r.err;
  ASSERT_TRUE(ReadFile(file, &code));
  EXPECT_EQ(code, "CODE42");
  EXPECT_EQ(Log(), "命令行参数:--kirvan CODE42\r\n");

  // A start without the switch removes the code of the last one.
  r = Run("other");
  EXPECT_FALSE(testsupport::Exists(file));
  EXPECT_EQ(Log(), "命令行参数:other\r\n");

  // Text that merely contains the switch counts; quotes that reached the program follow the raw rule.
  r = Run("--kirvanx '\"A B\"' tail");
  ASSERT_TRUE(ReadFile(file, &code));
  EXPECT_EQ(code, "A B");

  // The switch with nothing after it: the old file is gone and no new one is written.
  r = Run("--kirvan");
  EXPECT_FALSE(testsupport::Exists(file));
}

TEST_F(AppRun, SecondInstanceLeavesTheRunningOneAlone) {
  HttpAnswer slow = HttpAnswer::Ok("");
  slow.stallMs = 3000;
  server_.SetAnswer("/patchlist.txt", slow);
  Run("--kirvan FIRST", "", true);
  ASSERT_TRUE(server_.WaitForRequests(1, 20000));

  Result second = Run("--kirvan SECOND");
  EXPECT_EQ(second.code, 3);
  EXPECT_NE(second.err.find(U("[nolkpatch] 更新程序已经在运行。")), std::string::npos) << second.err;
  EXPECT_EQ(Log(), "命令行参数:--kirvan FIRST\r\n");
  std::string code;
  ASSERT_TRUE(ReadFile(gac_ + "/KirvanCode", &code));
  EXPECT_EQ(code, "FIRST");

  // The first run ends normally once its list arrives.
  std::string rc;
  for (int i = 0; i < 200 && !ReadFile(tmp_.Path() + "/rc0", &rc); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(rc, "0\n");
}

TEST_F(AppRun, InterruptWhileTheWorkerRunsWaitsForItAndEndsWithOne) {
  HttpAnswer slow = HttpAnswer::Ok(Package("p1.pak", 15));
  slow.stallMs = 20000;
  server_.SetAnswer("/patchlist.txt", slow);
  std::string rcFile = tmp_.Path() + "/rc0";
  std::string cmd = "cd " + Quote(start_) + " && (TMPDIR=" + Quote(tmp_.Path()) + " " + Quote(BinDir() + "/nolkpatch") +
                    " </dev/null >/dev/null 2>" + Quote(tmp_.Path() + "/err0") + " & echo $! >" +
                    Quote(tmp_.Path() + "/pid") + "; wait $!; echo $? >" + Quote(rcFile) + ") &";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  ASSERT_TRUE(server_.WaitForRequests(1, 20000));
  auto asked = std::chrono::steady_clock::now();
  std::string pid;
  ASSERT_TRUE(ReadFile(tmp_.Path() + "/pid", &pid));
  ASSERT_EQ(std::system(("kill -INT " + pid).c_str()), 0);
  std::string rc;
  for (int i = 0; i < 300 && !(ReadFile(rcFile, &rc) && !rc.empty()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto ended = std::chrono::steady_clock::now();
  // Closed while the list server stalls: the worker gives the request up at once and stops, so
  // nothing is checked or reported, and the run counts as stopped.
  EXPECT_EQ(rc, "1\n");
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - asked).count(), 1500);
  EXPECT_EQ(Log(), "命令行参数:\r\n");
  EXPECT_TRUE(Queries().empty());
}

TEST_F(AppRun, DebugHelpLibraryMissingOrIncomplete) {
  std::string bin = tmp_.Path() + "/bin";
  testsupport::MakeDirs(bin);
  std::string exe;
  ASSERT_TRUE(ReadFile(BinDir() + "/nolkpatch", &exe));
  WriteFile(bin + "/nolkpatch", exe);
  ASSERT_EQ(std::system(("chmod +x " + Quote(bin + "/nolkpatch")).c_str()), 0);

  Result r = Run("", bin + "/nolkpatch");
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, U("[错误] 载入nolkdbghelp.dll失败\n"));
  EXPECT_FALSE(testsupport::Exists(start_ + "/nolk.log"));
  EXPECT_EQ(server_.RequestCount(), 0u);

  std::string partial;
  ASSERT_TRUE(ReadFile(BinDir() + "/partial_dbghelp.so", &partial));
  WriteFile(bin + "/nolkdbghelp.dll", partial);
  r = Run("", bin + "/nolkpatch");
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, U("[错误] 载入函数失败:MiniDumpWriteDump\n"));
  EXPECT_FALSE(testsupport::Exists(start_ + "/nolk.log"));
}

}  // namespace
