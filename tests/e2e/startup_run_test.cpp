// Start-up of the native program as players and operators meet it: command lines typed in a UTF-8
// terminal, folders whose names GBK cannot hold, a read-only partner-code file, a start folder too
// deep for the root to be found, and log lines at the length limit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

using testsupport::ReadFile;

// Literals are GBK; the terminal speaks UTF-8.
std::string U(const std::string& gbk) { return platform::GbkToUtf8(gbk); }

namespace {

// 한 (Hangul) has no GBK form.
const std::string kNotGbk = "\xED\x95\x9C";

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.SetDefault(testsupport::HttpAnswer::Ok(""));
    Install(tmp_.Path() + "/game");
  }

  void Install(const std::string& game) {
    game_ = game;
    start_ = game_ + "/bin/patch";
    // The sentinel version: the run ends at once, without asking for a list.
    testsupport::MakeBareInstallation(game_, "1.255.255", server_.Url("/list"), server_.Url("/query?"));
  }

  testsupport::ProcessResult Run(std::vector<std::string> args, const std::string& tmpDir = "") {
    testsupport::ProcessOptions o = testsupport::ProgramOptions(game_, tmpDir.empty() ? tmp_.Path() : tmpDir);
    const char* bin = std::getenv("NOLK_BIN_DIR");
    o.argv = {std::string(bin ? bin : "") + "/nolkpatch"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.cwd = start_;
    return testsupport::RunProcess(o);
  }

  std::string Log() {
    std::string s;
    ReadFile(start_ + "/nolk.log", &s);
    return s;
  }

  // Every nolk.log below the test's folder.
  std::vector<std::string> Logs() {
    std::vector<std::string> found;
    for (const std::string& rel : testsupport::ListTree(tmp_.Path()))
      if (rel.size() >= 8 && rel.compare(rel.size() - 8, 8, "nolk.log") == 0) found.push_back(rel);
    return found;
  }

  testsupport::TempDir tmp_;
  testsupport::HttpTestServer server_;
  std::string game_, start_;
};

TEST_F(StartUp, ATerminalsUtf8CommandLineIsLoggedAndRecordedInGbk) {
  auto r = Run({"--kirvan", U("合作码"), U("更新")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The GBK bytes of the texts, spelled out: 命令行参数 合作码 更新.
  const std::string gbkCode = "\xBA\xCF\xD7\xF7\xC2\xEB";
  EXPECT_EQ(Log(), "\xC3\xFC\xC1\xEE\xD0\xD0\xB2\xCE\xCA\xFD:--kirvan " + gbkCode + " \xB8\xFC\xD0\xC2\r\n");
  std::string code;
  ASSERT_TRUE(ReadFile(game_ + "/var/gac/KirvanCode", &code));
  EXPECT_EQ(code, gbkCode);
}

TEST_F(StartUp, AReadOnlyPartnerCodeLeavesNoStaleCode) {
  const std::string file = game_ + "/var/gac/KirvanCode";
  testsupport::WriteFile(file, "STALE");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  auto r = Run({"--kirvan", "NEW"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string code;
  ASSERT_TRUE(ReadFile(file, &code));
  EXPECT_EQ(code, "NEW");

  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  r = Run({});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(testsupport::Exists(file));
}

TEST_F(StartUp, AStartFolderGbkCannotNameStopsWithExitCode3) {
  Install(tmp_.Path() + "/games" + kNotGbk + "/game");
  auto r = Run({});
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_NE(r.err.find(U("更新程序所在文件夹的路径含有简体中文系统无法表示的字符")), std::string::npos) << r.err;
  EXPECT_EQ(Logs(), std::vector<std::string>());
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(StartUp, ATempFolderGbkCannotNameStopsWithExitCode3) {
  const std::string tmpDir = tmp_.Path() + "/tmp" + kNotGbk;
  testsupport::MakeDirs(tmpDir);
  auto r = Run({}, tmpDir);
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_NE(r.err.find(U("临时文件夹的路径含有简体中文系统无法表示的字符")), std::string::npos) << r.err;
  EXPECT_EQ(Logs(), std::vector<std::string>());
  EXPECT_EQ(testsupport::ListTree(tmpDir), std::vector<std::string>());
}

TEST_F(StartUp, NoRootFolderEndsWithExitCode3AndNoLog) {
  // The start folder does not fit the 260-byte buffer, so no root can be read.
  std::string game = tmp_.Path();
  while (game.size() < 270) game += "/" + std::string(40, 'd');
  Install(game);
  auto r = Run({});
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_EQ(Logs(), std::vector<std::string>());
}

TEST_F(StartUp, LogLinesAreCutAt1022BytesOnACharacterBoundary) {
  // "命令行参数:" is 11 GBK bytes; 1010 more reach 1021, and the next character does not fit.
  auto r = Run({std::string(1009, 'x'), U("更新")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string head = "\xC3\xFC\xC1\xEE\xD0\xD0\xB2\xCE\xCA\xFD:";
  EXPECT_EQ(Log(), head + std::string(1009, 'x') + " \r\n");

  r = Run({std::string(2000, 'y')});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Log(), head + std::string(1022 - head.size(), 'y') + "\r\n");
}

}  // namespace
