// Configuration, version codes, the update list (parse, fetch, fail-over, fatal paths), the package
// check and the run log, against a temporary installation and the loopback test server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "net/socket_init.h"
#include "platform/codepage.h"
#include "platform/message_box.h"
#include "tests/support/file_hold.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "update/install_dirs.h"
#include "update/package_check.h"
#include "update/run_log.h"
#include "update/strings.h"
#include "update/update_list.h"
#include "update/version.h"

using testsupport::HttpAnswer;
using testsupport::HttpTestServer;

namespace {

const char* const kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

// A temporary installation: RootDir/var/gac with its two INI files.
class Installation {
 public:
  Installation() {
    testsupport::MakeDirs(dir_.Path() + "/var/gac");
    testsupport::MakeDirs(dir_.Path() + "/bin/patch");
    SetInstallDirs(dir_.Path() + "/bin/patch", dir_.Path() + "/");
  }
  ~Installation() { SetInstallDirs("", ""); }
  std::string Root() const { return dir_.Path() + "/"; }
  void SetVersion(const std::string& v) const {
    testsupport::WriteFile(Root() + "var/gac/update.ini", "[Setting]\r\nVersion=" + v + "\r\n");
  }
  void SetUrls(const std::vector<std::string>& urls) const {
    std::string text = "[Setting]\r\n";
    for (std::size_t i = 0; i < urls.size(); ++i)
      text += std::string("UpdateURL") + (i == 0 ? "" : std::to_string(i + 1)) + "=" + urls[i] + "\r\n";
    testsupport::WriteFile(Root() + "var/gac/Url.ini", text);
  }

 private:
  testsupport::TempDir dir_;
};

// Records every message box and answers OK.
class BoxRecorder {
 public:
  BoxRecorder() {
    previous_ = platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
      boxes.push_back(r);
      return platform::kIdOk;
    });
  }
  ~BoxRecorder() { platform::SetMessageBoxHandler(previous_); }
  std::vector<platform::MessageBoxRequest> boxes;

 private:
  platform::MessageBoxHandler previous_;
};

std::string Hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// In a death-test child: every box is written to standard error as hex, so the parent can match it.
void ReportBoxesOnStderr() {
  platform::SetMessageBoxHandler([](const platform::MessageBoxRequest& r) {
    std::fprintf(stderr, "BOX[%s|%s]\n", Hex(r.caption).c_str(), Hex(r.text).c_str());
    std::fflush(stderr);
    return platform::kIdOk;
  });
}

std::string ListLine(const std::string& version, const std::string& name, const std::string& md5) {
  return version + " http://127.0.0.1/package/" + name + " " + md5 + "\r\n";
}

}  // namespace

TEST(VersionCode, PacksThreeNumbers) {
  EXPECT_EQ(ParseVersionCode("2.1.15"), 0x0201000Fu);
  EXPECT_EQ(ParseVersionCode("1.2.3beta"), MakeVersionCode(1, 2, 3));
  EXPECT_EQ(ParseVersionCode("1.2.3.4"), MakeVersionCode(1, 2, 3));
  EXPECT_EQ(ParseVersionCode("  1. 2. 3"), MakeVersionCode(1, 2, 3));
  EXPECT_EQ(ParseVersionCode("1.300.70000"), MakeVersionCode(1, 44, 4464));
  EXPECT_EQ(ParseVersionCode("1.255.255"), kSentinelVersion);
  EXPECT_EQ(ParseVersionCode("abc"), 0u);
  EXPECT_EQ(ParseVersionCode("1.2"), 0u);
  EXPECT_EQ(ParseVersionCode("1..2.3"), 0u);
  EXPECT_EQ(ParseVersionCode(""), 0u);
  VersionCode v = 99;
  EXPECT_TRUE(ScanVersion("0.0.0", &v));
  EXPECT_EQ(v, 0u);
  EXPECT_FALSE(ScanVersion("x1.2.3", &v));
  // Ordered by major, then minor, then patch.
  EXPECT_LT(ParseVersionCode("1.255.65535"), ParseVersionCode("2.0.0"));
  EXPECT_LT(ParseVersionCode("2.1.255"), ParseVersionCode("2.1.256"));
  EXPECT_EQ(VersionText(0x0201000Fu), "2.1.15");
}

TEST(Settings, InstalledVersionAndItsComplaints) {
  Installation inst;
  BoxRecorder rec;
  inst.SetVersion("2.1.15");
  EXPECT_EQ(ReadInstalledVersion(), 0x0201000Fu);
  inst.SetVersion("1.255.255");
  EXPECT_EQ(ReadInstalledVersion(), kSentinelVersion);
  inst.SetVersion("abc");
  EXPECT_EQ(ReadInstalledVersion(), 0u);
  EXPECT_TRUE(rec.boxes.empty());

  const std::string path = inst.Root() + "var/gac/update.ini";
  const std::string complaint = "读取ini错误：strName=Version, strFileName=" + path;
  inst.SetVersion("0.0.0");
  EXPECT_EQ(ReadInstalledVersion(), 0u);
  testsupport::WriteFile(path, "[Setting]\r\nOther=1\r\n");
  EXPECT_EQ(ReadInstalledVersion(), 0u);
  testsupport::RemoveTree(path);
  EXPECT_EQ(ReadInstalledVersion(), 0u);
  ASSERT_EQ(rec.boxes.size(), 3u);
  for (const auto& box : rec.boxes) {
    EXPECT_EQ(box.text, complaint);
    EXPECT_EQ(box.caption, "错误");
    EXPECT_EQ(box.style, platform::kMbOk);
    EXPECT_EQ(box.owner, nullptr);
  }
}

TEST(Settings, UrlKeysAndDefaults) {
  Installation inst;
  BoxRecorder rec;
  inst.SetUrls({"http://127.0.0.1:1/a.txt"});
  EXPECT_EQ(ReadSetting(kUrlFile, "UpdateURL", kDefaultUpdateUrl), "http://127.0.0.1:1/a.txt");
  EXPECT_EQ(ReadSetting(kUrlFile, "UpdateURL2", kDefaultUpdateUrl), "http://127.0.0.1/package/website/patchlist.txt");
  EXPECT_TRUE(rec.boxes.empty());
  inst.SetUrls({"x", "0.0.0"});
  EXPECT_EQ(ReadSetting(kUrlFile, "UpdateURL2", kDefaultUpdateUrl), "0.0.0");
  ASSERT_EQ(rec.boxes.size(), 1u);
  EXPECT_EQ(rec.boxes[0].text, "读取ini错误：strName=UpdateURL2, strFileName=" + inst.Root() + "var/gac/Url.ini");
}

TEST(SplitUrl, HostPortAndPath) {
  std::string host, path;
  std::uint16_t port = 0;
  ASSERT_TRUE(SplitUrl("http://list.example:8080/list.txt?x=1", &host, &port, &path));
  EXPECT_EQ(host, "list.example");
  EXPECT_EQ(port, 8080);
  EXPECT_EQ(path, "/list.txt?x=1");
  ASSERT_TRUE(SplitUrl("http://127.0.0.1/package/website/patchlist.txt", &host, &port, &path));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 80);
  EXPECT_EQ(path, "/package/website/patchlist.txt");
  ASSERT_TRUE(SplitUrl("http://h/a b", &host, &port, &path));
  EXPECT_EQ(path, "/a");
  ASSERT_TRUE(SplitUrl("http://h:65617/x", &host, &port, &path));  // cut to 16 bits
  EXPECT_EQ(port, 81);
  ASSERT_TRUE(SplitUrl("http://h:abc/x", &host, &port, &path));  // no number: the colon stays in the host
  EXPECT_EQ(host, "h:abc");
  ASSERT_TRUE(SplitUrl("http://:80/x", &host, &port, &path));
  EXPECT_EQ(host, ":80");

  EXPECT_FALSE(SplitUrl("http://hostonly", &host, &port, &path));
  EXPECT_EQ(host, "");
  EXPECT_EQ(path, "");
  EXPECT_FALSE(SplitUrl("HTTP://h/x", &host, &port, &path));
  EXPECT_FALSE(SplitUrl("https://h/x", &host, &port, &path));
  EXPECT_FALSE(SplitUrl("http:///x", &host, &port, &path));
  EXPECT_FALSE(SplitUrl("", &host, &port, &path));
}

TEST(ParseUpdateList, KeepsNewerRecordsInServerOrder) {
  const VersionCode installed = ParseVersionCode("2.1.14");
  ParseUpdateList(installed, ListLine("2.1.14", "a.gac", "m1") + ListLine("2.1.15", "b.gac", "m2") +
                                 ListLine("2.1.16", "c.gac", "m3"));
  ASSERT_EQ(UpdateList.size(), 2u);
  EXPECT_EQ(UpdateList[0].version, ParseVersionCode("2.1.15"));
  EXPECT_EQ(UpdateList[0].url, "http://127.0.0.1/package/b.gac");
  EXPECT_EQ(UpdateList[0].md5, "m2");
  EXPECT_EQ(UpdateList[1].md5, "m3");

  ParseUpdateList(installed, ListLine("2.1.16", "c.gac", "m3") + ListLine("2.1.15", "b.gac", "m2") +
                                 ListLine("2.1.16", "c.gac", "m3"));
  ASSERT_EQ(UpdateList.size(), 3u);
  EXPECT_EQ(UpdateList[0].md5, "m3");
  EXPECT_EQ(UpdateList[1].md5, "m2");

  // Records spread over lines or sharing one; trailing characters after the version.
  ParseUpdateList(0, "2.1.15a\n  http://h/p/x.gac\t\n abc  3.0.0 http://h/y.gac def\r\n\r\n");
  ASSERT_EQ(UpdateList.size(), 2u);
  EXPECT_EQ(UpdateList[0].version, ParseVersionCode("2.1.15"));
  EXPECT_EQ(UpdateList[0].url, "http://h/p/x.gac");
  EXPECT_EQ(UpdateList[1].md5, "def");
}

TEST(ParseUpdateList, DirectivesAndStrayTokens) {
  const std::string pkg = ListLine("2.0.1", "p.gac", "md5");
  ParseUpdateList(0, "##1 30 word\r\n" + pkg);
  ASSERT_EQ(UpdateList.size(), 1u);
  ParseUpdateList(0,
                  "#!2 5 x\r\n#bturl http://h/\r\n#httpurl http://h2/\r\n#timeout_to_http 9\r\n"
                  "#use_old_nolk_exe 1.0.0\r\n" +
                      pkg);
  ASSERT_EQ(UpdateList.size(), 1u);
  EXPECT_EQ(UpdateList[0].md5, "md5");
  ParseUpdateList(0, "#bturl http://h/\r\n##0 1 t\r\n");
  EXPECT_TRUE(UpdateList.empty());
  // A stray word pairs with the next record's version; its URL and digest then form a pair.
  ParseUpdateList(0, "stray\r\n" + pkg + ListLine("2.0.2", "q.gac", "m2"));
  ASSERT_EQ(UpdateList.size(), 1u);
  EXPECT_EQ(UpdateList[0].version, ParseVersionCode("2.0.2"));
  // A record cut short keeps what it has.
  ParseUpdateList(0, "2.0.3 http://h/z.gac");
  ASSERT_EQ(UpdateList.size(), 1u);
  EXPECT_EQ(UpdateList[0].md5, "");
  ParseUpdateList(0, "");
  EXPECT_TRUE(UpdateList.empty());
  // The "0.0.0" record is a record too (three tokens), though never newer.
  ParseUpdateList(0, "0.0.0 u m " + pkg);
  ASSERT_EQ(UpdateList.size(), 1u);
  EXPECT_EQ(UpdateList[0].md5, "md5");
}

TEST(PackageFileName, LastSegmentStaysInsideDownloadDir) {
  EXPECT_EQ(PackageFileName("http://h/package/2.1.15.gac"), "2.1.15.gac");
  EXPECT_EQ(PackageFileName("http://h/package/"), "");
  EXPECT_EQ(PackageFileName("nopath"), "");
  EXPECT_EQ(PackageFileName("http://h/更新.gac"), "更新.gac");
  EXPECT_EQ(PackageFileName("http://h/.."), "");
  EXPECT_EQ(PackageFileName("http://h/..\\..\\boot.ini"), "");
  EXPECT_EQ(PackageFileName("http://h/c:evil.gac"), "");
  EXPECT_EQ(PackageFileName("http://h/..gac"), "..gac");
}

class FetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NetModel::InitSockets());
    ASSERT_NE(server_.Port(), 0);
    inst_.SetVersion("2.1.14");
  }
  std::string Refused() const { return "http://127.0.0.1:" + std::to_string(testsupport::RefusedPort()) + "/l.txt"; }
  Installation inst_;
  HttpTestServer server_;
  BoxRecorder boxes_;
};

TEST_F(FetchTest, FailsOverToTheNextUrlAndSendsTheExactRequest) {
  server_.SetAnswer("/patchlist.txt?v=2", HttpAnswer::Ok(ListLine("2.1.15", "a.gac", "m1")));
  inst_.SetUrls({Refused(), server_.Url("/patchlist.txt?v=2"), Refused(), Refused()});
  EXPECT_EQ(FetchUpdateList(), 1);
  ASSERT_EQ(UpdateList.size(), 1u);
  EXPECT_EQ(UpdateList[0].md5, "m1");
  EXPECT_TRUE(boxes_.boxes.empty());
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(server_.Requests()[0].raw,
            "GET /patchlist.txt?v=2 HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
}

TEST_F(FetchTest, ChunkedGzipListParsesIntoEntries) {
  HttpAnswer a = HttpAnswer::Ok("#bturl http://127.0.0.1/package/\r\n" + ListLine("2.1.14", "old.gac", "m0") +
                                ListLine("2.1.15", "2.1.15.gac", std::string(32, 'a')) +
                                ListLine("2.1.16", "2.1.16.gac", std::string(32, 'b')));
  a.gzip = true;
  a.chunked = true;
  a.chunkSize = 16;
  server_.SetAnswer("/list", a);
  inst_.SetUrls({server_.Url("/list"), Refused(), Refused(), Refused()});
  EXPECT_EQ(FetchUpdateList(), 2);
  ASSERT_EQ(UpdateList.size(), 2u);
  EXPECT_EQ(PackageFileName(UpdateList[0].url), "2.1.15.gac");
  EXPECT_EQ(UpdateList[1].version, ParseVersionCode("2.1.16"));
  EXPECT_EQ(UpdateList[1].md5, std::string(32, 'b'));
}

TEST_F(FetchTest, UndecodableOrUnsplittableAnswersMoveOn) {
  HttpAnswer broken = HttpAnswer::Ok(testsupport::GzipBytes(testsupport::RandomBytes(3000, 5)).substr(0, 400));
  broken.headers.push_back("Content-Encoding: gzip");
  server_.SetAnswer("/broken", broken);
  server_.SetAnswer("/noend", HttpAnswer::Raw("HTTP/1.1 200 OK\r\n"));
  server_.SetAnswer("/good", HttpAnswer::Ok(ListLine("3.0.0", "c.gac", "m3")));
  inst_.SetUrls({server_.Url("/broken"), "https://127.0.0.1/x", server_.Url("/noend"), server_.Url("/good")});
  ASSERT_EQ(FetchUpdateList(), 1);
  EXPECT_EQ(UpdateList[0].md5, "m3");
  EXPECT_EQ(server_.RequestCount(), 3u);
  EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(FetchTest, EmptyBodyIsAnEmptyList) {
  server_.SetAnswer("/empty", HttpAnswer::Ok(""));
  inst_.SetUrls({server_.Url("/empty"), Refused(), Refused(), Refused()});
  UpdateList.push_back(PackageEntry{1, "u", "m"});
  EXPECT_EQ(FetchUpdateList(), 0);
  EXPECT_TRUE(UpdateList.empty());
}

TEST_F(FetchTest, SentinelVersionMakesNoRequest) {
  inst_.SetVersion("1.255.255");
  inst_.SetUrls({server_.Url("/l"), server_.Url("/l"), server_.Url("/l"), server_.Url("/l")});
  UpdateList.clear();
  EXPECT_EQ(FetchUpdateList(), 0);
  EXPECT_EQ(server_.RequestCount(), 0u);
}

class FetchDeathTest : public FetchTest {};

TEST_F(FetchDeathTest, UnreadableVersionEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  inst_.SetVersion("abc");
  inst_.SetUrls({Refused(), Refused(), Refused(), Refused()});
  const std::string expected = "BOX\\[" + Hex(platform::AppName()) + "\\|" + Hex("检查当前版本号错误") + "\\]";
  EXPECT_EXIT(
      {
        ReportBoxesOnStderr();
        FetchUpdateList();
      },
      ::testing::ExitedWithCode(2), expected);
}

TEST_F(FetchDeathTest, FourRefusedUrlsEndWithTheFailureMessageQuickly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  inst_.SetUrls({Refused(), Refused(), Refused(), Refused()});
  const std::string expected =
      "BOX\\[" + Hex(platform::AppName()) + "\\|" + Hex("获取更新列表失败, connection refused") + "\\]";
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        auto start = std::chrono::steady_clock::now();
        platform::SetMessageBoxHandler([start](const platform::MessageBoxRequest& r) {
          double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          std::fprintf(stderr, "BOX[%s|%s]\nafter %.3f s\n", Hex(r.caption).c_str(), Hex(r.text).c_str(), s);
          return platform::kIdOk;
        });
        FetchUpdateList();
      },
      ::testing::ExitedWithCode(2), expected);
  double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(total, 5.0);  // catches a 25-second connect hang, child start-up included
}

TEST_F(FetchDeathTest, FourthFailureShowsTheStatusLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  server_.SetAnswer("/gone", HttpAnswer::Status("HTTP/1.1 404 Not Found"));
  inst_.SetUrls({Refused(), Refused(), Refused(), server_.Url("/gone")});
  const std::string expected = Hex("获取更新列表失败,  404 Not Found");
  EXPECT_EXIT(
      {
        ReportBoxesOnStderr();
        FetchUpdateList();
      },
      ::testing::ExitedWithCode(2), expected);
}

class PackageCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.Path() + "/nolk.log";
    ASSERT_TRUE(OpenRunLog(platform::Utf8ToGbk(logPath_)));
  }
  void TearDown() override { CloseRunLog(); }
  std::string Log() {
    std::string text;
    testsupport::ReadFile(logPath_, &text);
    return text;
  }
  // A GBK path below the temporary folder, and the bytes written there.
  std::string MakePackage(const std::string& gbkName, const std::string& bytes) {
    std::string gbk = platform::Utf8ToGbk(dir_.Path()) + "/" + gbkName;
    testsupport::WriteFile(platform::HostPath(gbk), bytes);
    return gbk;
  }
  const std::string eol_ = "\r\n";  // as a text-mode file writes it, on both builds
  testsupport::TempDir dir_;
  std::string logPath_;
};

TEST_F(PackageCheckTest, MatchingDigestLogsSuccess) {
  const std::string path = MakePackage("2.1.15.gac", "abc");
  EXPECT_TRUE(VerifyPackageFile(path, "900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_EQ(Log(), "文件已存在，MD5校验成功 " + path + " 900150983cd24fb0d6963f7d28e17f72" + eol_);
}

TEST_F(PackageCheckTest, UpperCaseOrWrongDigestLogsBoth) {
  const std::string path = MakePackage("a.gac", "abc");
  EXPECT_FALSE(VerifyPackageFile(path, "900150983CD24FB0D6963F7D28E17F72"));
  EXPECT_FALSE(VerifyPackageFile(path, ""));
  EXPECT_EQ(Log(), "文件已存在，MD5校验失败，需要重新下载 " + path +
                       " 900150983CD24FB0D6963F7D28E17F72 900150983cd24fb0d6963f7d28e17f72" + eol_ +
                       "文件已存在，MD5校验失败，需要重新下载 " + path + "  900150983cd24fb0d6963f7d28e17f72" + eol_);
}

TEST_F(PackageCheckTest, MissingFileOrFolderFailsWithoutLog) {
  EXPECT_FALSE(VerifyPackageFile(platform::Utf8ToGbk(dir_.Path()) + "/absent.gac", kEmptyMd5));
  testsupport::MakeDirs(dir_.Path() + "/folder.gac");
  EXPECT_FALSE(VerifyPackageFile(platform::Utf8ToGbk(dir_.Path()) + "/folder.gac", kEmptyMd5));
  EXPECT_EQ(Log(), "");
}

TEST_F(PackageCheckTest, EmptyFileAndGbkName) {
  const std::string empty = MakePackage("空.gac", "");
  EXPECT_TRUE(VerifyPackageFile(empty, kEmptyMd5));
  const std::string gbk = MakePackage("更新包.gac", "abc");
  EXPECT_TRUE(VerifyPackageFile(gbk, "900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_EQ(Log(), "文件已存在，MD5校验成功 " + empty + " " + kEmptyMd5 + eol_ + "文件已存在，MD5校验成功 " + gbk +
                       " 900150983cd24fb0d6963f7d28e17f72" + eol_);
}

TEST_F(PackageCheckTest, FileHeldOpenByOthers) {
  const std::string path = MakePackage("held.gac", "abc");
  {
    testsupport::FileHold shared(platform::HostPath(path), false);
    ASSERT_TRUE(shared.Held());
    EXPECT_TRUE(VerifyPackageFile(path, "900150983cd24fb0d6963f7d28e17f72"));
  }
  EXPECT_EQ(Log(), "文件已存在，MD5校验成功 " + path + " 900150983cd24fb0d6963f7d28e17f72" + eol_);
  if (!testsupport::ExclusiveHoldsEnforced()) GTEST_SKIP() << "no exclusive opens on this system";
  {
    testsupport::FileHold exclusive(platform::HostPath(path), true);
    ASSERT_TRUE(exclusive.Held());
    EXPECT_FALSE(VerifyPackageFile(path, "900150983cd24fb0d6963f7d28e17f72"));
  }
  EXPECT_EQ(Log(), "文件已存在，MD5校验成功 " + path + " 900150983cd24fb0d6963f7d28e17f72" + eol_);
}

TEST(RunLog, LinesAreCutAndFlushed) {
  testsupport::TempDir dir;
  const std::string path = dir.Path() + "/nolk.log";
  WriteRunLog("before any log %d", 1);  // no log yet: nothing happens
  ASSERT_TRUE(OpenRunLog(path));
  WriteRunLog("命令行参数:%s", "");
  WriteRunLog("%s", std::string(1500, 'x').c_str());
  std::string text;
  ASSERT_TRUE(testsupport::ReadFile(path, &text));  // on disk before the log is closed
  EXPECT_EQ(text, "命令行参数:\r\n" + std::string(1022, 'x') + "\r\n");
  CloseRunLog();
  WriteRunLog("after");
  ASSERT_TRUE(testsupport::ReadFile(path, &text));
  EXPECT_EQ(text.find("after"), std::string::npos);
  EXPECT_FALSE(OpenRunLog(dir.Path() + "/no/such/folder/nolk.log"));
}
