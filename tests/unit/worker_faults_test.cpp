// Faults around the update worker and the common library: an exception while a package is checked,
// a digest asked with piece size 0 or of a folder, a stop during a digest, the statistics query
// with names a URL parser would change, and the build machine's folders in the shipped program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/nolkpatch_dlg.h"
#include "app/update_worker.h"
#include "engine/src/lumcommon/digester/cmd5.h"
#include "engine/src/lumcommon/lum_exception.h"
#include "net/socket_init.h"
#include "platform/internet_get.h"
#include "platform/message_box.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "update/install_dirs.h"

using testsupport::HttpAnswer;
using testsupport::HttpTestServer;

using testsupport::Env;

namespace {

// RFC 1321's test values.
const char* const kMd5Abc = "900150983cd24fb0d6963f7d28e17f72";
const char* const kMd5MillionA = "7707d6ae4e027c70eea2a935c2296f21";

bool ThrowingCheck(const std::string& path, const std::string&, const std::atomic<bool>*) {
  throw LumCommon::CLumException("md5:文件不存在" + path + ".", "engine/src/lumcommon/digester/cmd5", __DATE__,
                                 __TIME__, "LumCommon::CMD5::MDFile");
}

unsigned ThrowingWorker(void* window) {
  return RunUpdateWorker(static_cast<CnolkpatchDlg*>(window), ThrowingCheck);
}

}  // namespace

TEST(DigestFaults, PieceSizeZeroAndFolders) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.Path() + "/abc", "abc");
  testsupport::WriteFile(dir.Path() + "/a", std::string(1000000, 'a'));
  EXPECT_STREQ(GetFileMD5(dir.Path() + "/abc", 0), kMd5Abc);
  EXPECT_STREQ(GetFileMD5(dir.Path() + "/a", 0), kMd5MillionA);
  EXPECT_STREQ(GetFileMD5(dir.Path() + "/a", 4096), kMd5MillionA);

  // A folder has no digest on any system: the exception, and an empty text.
  testsupport::MakeDirs(dir.Path() + "/folder");
  EXPECT_THROW(GetFileMD5(dir.Path() + "/folder", 10485760), LumCommon::CLumException);
  LumCommon::CMD5 md5;
  EXPECT_THROW(md5.MDFile(dir.Path() + "/folder", 0), LumCommon::CLumException);
  EXPECT_STREQ(md5.Digest(), "");

  // Asked to stop, it gives no digest.
  std::atomic<bool> stop{true};
  EXPECT_STREQ(GetFileMD5(dir.Path() + "/a", 4096, &stop), "");
}

TEST(WorkerFaults, ExceptionDuringACheckEndsTheRunLikeAFailedCheck) {
  ASSERT_TRUE(NetModel::InitSockets());
  testsupport::TempDir dir;
  testsupport::MakeDirs(dir.Path() + "/var/gac");
  testsupport::MakeDirs(dir.Path() + "/bin/patch");
  SetInstallDirs(dir.Path() + "/bin/patch", dir.Path() + "/");
  HttpTestServer server;
  server.SetAnswer("/l.txt", HttpAnswer::Ok("2.1.15 http://127.0.0.1/package/gone.pkg 00000000000000000000000000000000\n"));
  testsupport::WriteFile(dir.Path() + "/var/gac/update.ini", "[Setting]\r\nVersion=2.1.14\r\n");
  const std::string url = server.Url("/l.txt");
  testsupport::WriteFile(dir.Path() + "/var/gac/Url.ini", "[Setting]\r\nUpdateURL=" + url + "\r\nUpdateURL2=" + url +
                                                              "\r\nUpdateURL3=" + url + "\r\nUpdateURL4=" + url +
                                                              "\r\nStatURL=" + server.Url("/query?") + "\r\n");
  std::vector<platform::MessageBoxRequest> boxes;
  platform::MessageBoxHandler previous = platform::SetMessageBoxHandler([&](const platform::MessageBoxRequest& r) {
    boxes.push_back(r);
    return platform::kIdOk;
  });
  CancelRequested = false;
  std::intptr_t result;
  unsigned code = 99;
  {
    CnolkpatchDlg dlg(ThrowingWorker);
    result = dlg.DoModal();
    EXPECT_TRUE(dlg.WorkerExitCode(&code));
    EXPECT_FALSE(dlg.RunSucceeded());
  }
  platform::SetMessageBoxHandler(previous);
  SetInstallDirs("", "");
  CancelRequested = false;
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(code, 1u);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "验证[gone.pkg]过程中发生错误, 放弃继续更新。");
  // The failed check was reported like any other.
  std::vector<testsupport::HttpRequestRecord> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].target.find("&err=cancel&file=gone.pkg&dlip=127.0.0.1"), std::string::npos);
}

TEST(ReportFaults, QueryGoesOutByteForByte) {
  ASSERT_TRUE(NetModel::InitSockets());
  HttpTestServer server;
  server.SetDefault(HttpAnswer::Ok("ignored"));
  std::vector<std::string> names = {"h#1.pkg", "ctl\x01.pkg", "del\x7f.pkg", "更新包.pkg", "pct%41&x=1.pkg"};
#ifndef _WIN32
  // WinINet writes a blank as %20, as it always has; a name from the list never holds one (blanks
  // separate its tokens). libcurl is given the target as it is.
  names.push_back("with space.pkg");
#endif
  for (const std::string& name : names) {
    const std::string target = "/query?proj=rn4&err=finish&file=" + name + "&dlip=127.0.0.1";
    EXPECT_TRUE(platform::InternetGetAndDiscard(server.Url(target), "nolkpatch")) << name;
  }
  std::vector<testsupport::HttpRequestRecord> requests = server.Requests();
  ASSERT_EQ(requests.size(), names.size());
  // The request line as it came, so a blank in the name is seen too.
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string line = "GET /query?proj=rn4&err=finish&file=" + names[i] + "&dlip=127.0.0.1 HTTP/1.1\r\n";
    EXPECT_EQ(requests[i].raw.substr(0, line.size()), line);
  }
}

TEST(ShippedProgram, CarriesNoFolderOfTheBuildMachine) {
  const std::string source = Env("NOLK_SOURCE_DIR");
  std::string exe;
  if (source.empty() || !testsupport::ReadFile(source + "/build/win64/bin/nolkpatch.exe", &exe))
    GTEST_SKIP() << "no win64 build to look at";
  EXPECT_EQ(exe.find(source + "/"), std::string::npos);
  // The tracker's records name sources relative to the root.
  EXPECT_NE(exe.find("app/nolkpatch_dlg.cpp"), std::string::npos);
}
