// One package fetched into a folder from the loopback server: the answers a whole run cannot easily
// provoke (a Content-Range elsewhere, a 206 without one, a whole side file with the wrong bytes, a
// full disk, a close, names that are no file names). Digests from the reference tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "net/socket_init.h"
#include "tests/support/http_test_server.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "package/package_fetch.h"
#include "update/run_log.h"

using testsupport::HttpAnswer;

namespace {

TEST(PackageFetch, AnswersThatDecideBetweenResumingStartingAgainAndGivingUp) {
  ASSERT_TRUE(NetModel::InitSockets());
  const std::string body = testsupport::RandomBytes(300000, 5);
  testsupport::TempDir source;
  testsupport::WriteFile(source.Path() + "/p", body);
  const std::string md5 = testsupport::ReferenceMd5(source.Path() + "/p");
  HttpAnswer elsewhere = HttpAnswer::Status("HTTP/1.1 206 Partial Content", body);
  elsewhere.headers.push_back("Content-Range: bytes 0-299999/300000");
  const HttpAnswer noRange = HttpAnswer::Status("HTTP/1.1 206 Partial Content", body);
  HttpAnswer stalled = HttpAnswer::Ok(body);
  stalled.trickleBytes = body.size(), stalled.trickleDelayMs = 2500;
  std::atomic<bool> closed{true};
  const std::string kNoName = "失败, 文件名不能用作更新包";
  const struct {
    const char* what;
    std::string name;
    std::string sideFile;      // left before the fetch
    const HttpAnswer* answer;  // for /p; null: the served folder's file
    std::int64_t minFree;
    const std::atomic<bool>* stop;
    FetchResult result;
    std::size_t requests;
    std::string logged, last;  // in the run log: the way taken, and the last outcome
  } cases[] = {
      {"range elsewhere", "p", body.substr(0, 1000), &elsewhere, 0, nullptr, FetchResult::kFetched, 2,
       "Content-Range 与请求的范围不符, 从头下载", "完成"},
      {"206 bare", "p", body.substr(0, 1000), &noRange, 0, nullptr, FetchResult::kFailed, 2,
       "Content-Range 与请求的范围不符, 从头下载", "失败, 服务器的 Content-Range 与请求的范围不符"},
      {"416, wrong", "p", std::string(300000, 'x'), nullptr, 0, nullptr, FetchResult::kFetched, 2,
       "服务器答 416, 临时文件MD5校验失败", "完成"},
      {"no space", "p", "", nullptr, INT64_MAX / 2, nullptr, FetchResult::kFailed, 1, "", "失败, 磁盘空间不足"},
      {"stalls", "p", "", &stalled, 0, nullptr, FetchResult::kFailed, 2, "中断, stalled", "失败, 连接中断次数过多"},
      {"closed", "p", body.substr(0, 10), nullptr, 0, &closed, FetchResult::kStopped, 0, "", ""},
      {"device", "CON", "", nullptr, 0, nullptr, FetchResult::kFailed, 0, "", kNoName},
      {"trimmed", "p.", "", nullptr, 0, nullptr, FetchResult::kFailed, 0, "", kNoName},
      {"own file", "Update.INI", "", nullptr, 0, nullptr, FetchResult::kFailed, 0, "", kNoName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir dir;
    testsupport::MakeDirs(dir.Path() + "/served");
    testsupport::WriteFile(dir.Path() + "/served/p", body);
    testsupport::HttpTestServer server;
    server.ServeDirectory(dir.Path() + "/served");
    if (c.answer) server.SetAnswer("/" + c.name, *c.answer);
    const std::string part = dir.Path() + "/" + c.name + ".nolkpatch-part";
    if (!c.sideFile.empty()) testsupport::WriteFile(part, c.sideFile);
    ASSERT_TRUE(OpenRunLog(dir.Path() + "/nolk.log"));
    FetchSettings s;
    s.minFreeBytes = c.minFree;
    s.stop = c.stop;
    s.stallSeconds = s.maxResumes = 1;
    const FetchResult r = FetchPackage(server.Url("/" + c.name), dir.Path(), c.name, md5, s);
    CloseRunLog();
    std::string log;
    testsupport::ReadFile(dir.Path() + "/nolk.log", &log);
    EXPECT_EQ(r, c.result) << log;
    EXPECT_EQ(server.RequestCount(), c.requests);
    EXPECT_EQ(testsupport::Exists(dir.Path() + "/" + c.name), r == FetchResult::kFetched);
    if (r == FetchResult::kFetched) {
      EXPECT_EQ(testsupport::ReferenceMd5(dir.Path() + "/" + c.name), md5);
    }
    // A close keeps the side file; the other ends leave none.
    EXPECT_EQ(testsupport::Exists(part), r == FetchResult::kStopped);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'),
              c.requests ? static_cast<long>(c.requests) : (c.last.empty() ? 0 : 1))
        << log;
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    EXPECT_NE(log.find(c.last), std::string::npos) << log;
  }
}

}  // namespace
