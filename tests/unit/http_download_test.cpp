// The package transfer (libcurl natively, WinINet under Wine) against the loopback test server: whole
// bodies, ranges, error statuses, redirects and their limits, cut and stalled connections, a stop
// during a slow transfer, and a sink that says no.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/http_download.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"

using platform::DownloadHead;
using platform::DownloadRequest;
using platform::DownloadResult;
using testsupport::HttpAnswer;
using testsupport::HttpTestServer;

namespace {

enum class Sink { kKeep, kRefuseHead, kRefuseBody };

class RecordingSink : public platform::DownloadSink {
 public:
  explicit RecordingSink(Sink mode) : mode_(mode) {}
  bool OnHead(const DownloadHead& head) override {
    ++heads;
    this->head = head;
    return mode_ != Sink::kRefuseHead;
  }
  bool OnBody(const char* data, std::size_t size) override {
    body.append(data, size);
    return mode_ != Sink::kRefuseBody;
  }
  int heads = 0;
  DownloadHead head;
  std::string body;

 private:
  Sink mode_;
};

const std::string kBody = testsupport::RandomBytes(200000, 22);

std::size_t HeadSize(const HttpAnswer& a) { return a.Bytes().size() - a.body.size(); }

class HttpDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server_.Port(), 0);
    server_.SetAnswer("/pkg/whole.pkg?v=1", HttpAnswer::Ok(kBody));
    server_.SetAnswer("/range", HttpAnswer::Raw("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 1000-199999/200000\r\n"
                                                "Content-Length: 199000\r\nConnection: close\r\n\r\n" +
                                                kBody.substr(1000)));
    server_.SetAnswer("/r302", HttpAnswer::Redirect(302, server_.Url("/pkg/whole.pkg?v=1")));
    server_.SetAnswer("/dir/rel", HttpAnswer::Redirect(301, "sub?x=2"));
    server_.SetAnswer("/dir/sub?x=2", HttpAnswer::Ok(kBody));
    server_.SetAnswer("/toftp", HttpAnswer::Redirect(302, "ftp://127.0.0.1/whole.pkg"));
    // /hop<n> takes n redirects to reach the body.
    server_.SetAnswer("/hop0", HttpAnswer::Ok(kBody));
    for (int n = 1; n <= 6; ++n)
      server_.SetAnswer("/hop" + std::to_string(n), HttpAnswer::Redirect(307, "/hop" + std::to_string(n - 1)));
    HttpAnswer cut = HttpAnswer::Ok(kBody);
    cut.closeAfterBytes = HeadSize(cut) + 50000;
    server_.SetAnswer("/cut", cut);
    cut.holdOpenMs = 20000;
    server_.SetAnswer("/stall", cut);
    HttpAnswer silent = HttpAnswer::Ok(kBody);
    silent.stallMs = 20000;
    server_.SetAnswer("/silent", silent);
    HttpAnswer trickle = HttpAnswer::Ok(kBody.substr(0, 20000));
    trickle.trickleBytes = 200;
    trickle.trickleDelayMs = 100;
    server_.SetAnswer("/trickle", trickle);
  }

  HttpTestServer server_;
};

struct Case {
  const char* name;
  std::string url;  // a path on the server, or a whole URL
  std::int64_t rangeFrom;
  int stallSeconds;
  Sink sink;
  DownloadResult want;
  int status;         // of the head the sink saw; 0: no head
  std::string body;   // what the sink got
};

TEST_F(HttpDownloadTest, AnswersMapToResults) {
  const std::string notFound = "not found";
  const Case cases[] = {
      {"whole", "/pkg/whole.pkg?v=1", 0, 30, Sink::kKeep, DownloadResult::kComplete, 200, kBody},
      {"range", "/range", 1000, 30, Sink::kKeep, DownloadResult::kComplete, 206, kBody.substr(1000)},
      {"404 with its head", "/missing", 0, 30, Sink::kKeep, DownloadResult::kComplete, 404, notFound},
      {"302 followed", "/r302", 0, 30, Sink::kKeep, DownloadResult::kComplete, 200, kBody},
      {"relative Location", "/dir/rel", 0, 30, Sink::kKeep, DownloadResult::kComplete, 200, kBody},
      {"five redirects", "/hop5", 0, 30, Sink::kKeep, DownloadResult::kComplete, 200, kBody},
      {"six redirects", "/hop6", 0, 30, Sink::kKeep, DownloadResult::kFailed, 0, ""},
      {"redirect to ftp", "/toftp", 0, 30, Sink::kKeep, DownloadResult::kFailed, 0, ""},
      {"ftp asked for", "ftp://127.0.0.1/whole.pkg", 0, 30, Sink::kKeep, DownloadResult::kFailed, 0, ""},
      {"cut body", "/cut", 0, 30, Sink::kKeep, DownloadResult::kCut, 200, kBody.substr(0, 50000)},
      {"stall in the body", "/stall", 0, 1, Sink::kKeep, DownloadResult::kCut, 200, kBody.substr(0, 50000)},
      {"stall before the head", "/silent", 0, 1, Sink::kKeep, DownloadResult::kCut, 0, ""},
      {"nobody listening", "http://127.0.0.1:" + std::to_string(testsupport::RefusedPort()) + "/a.pkg", 0, 30,
       Sink::kKeep, DownloadResult::kCut, 0, ""},
      {"head refused", "/pkg/whole.pkg?v=1", 0, 30, Sink::kRefuseHead, DownloadResult::kRefused, 200, ""},
      {"body refused", "/pkg/whole.pkg?v=1", 0, 30, Sink::kRefuseBody, DownloadResult::kRefused, 200, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DownloadRequest request;
    request.url = c.url[0] == '/' ? server_.Url(c.url) : c.url;
    request.agent = "nolkpatch";
    request.rangeFrom = c.rangeFrom;
    request.stallSeconds = c.stallSeconds;
    RecordingSink sink(c.sink);
    std::string reason;
    bool headSeen = true;
    const auto t0 = std::chrono::steady_clock::now();
    const DownloadResult r = platform::HttpDownload(request, &sink, &reason, &headSeen);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(static_cast<int>(r), static_cast<int>(c.want)) << reason;
    EXPECT_EQ(sink.heads, c.status ? 1 : 0);
    EXPECT_EQ(headSeen, c.status != 0);
    EXPECT_EQ(sink.head.status, c.status);
    if (c.sink == Sink::kRefuseBody) {
      EXPECT_EQ(sink.body, kBody.substr(0, sink.body.size()));
    } else {
      EXPECT_TRUE(sink.body == c.body) << sink.body.size() << " bytes, want " << c.body.size();
    }
    if (r != DownloadResult::kComplete) {
      EXPECT_FALSE(reason.empty());
    }
    if (c.status == 200) {
      EXPECT_EQ(sink.head.contentLength, 200000);
    }
    // A stall is noticed after its time, not at the test server's much later close.
    if (c.stallSeconds == 1) {
      EXPECT_LT(seconds, 8.0);
    }
  }
}

TEST_F(HttpDownloadTest, RangeGoesOutAndContentRangeIsRead) {
  struct {
    std::string header;  // the Content-Range line, empty for none
    std::int64_t first, total;
  } cases[] = {
      {"Content-Range: bytes 1000-199999/200000", 1000, 200000}, {"Content-Range: bytes 1000-199999/*", 1000, -1},
      {"Content-Range: bytes 1000-999/200000", -1, -1},
      {"Content-Range: items 1000-199999/200000", -1, -1},       {"Content-Range: bytes 1000-199999/2x", -1, -1},
      {"", -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    server_.SetAnswer("/206", HttpAnswer::Raw("HTTP/1.1 206 Partial Content\r\n" + c.header + (c.header.empty() ? "" : "\r\n") +
                                              "Content-Length: 199000\r\nConnection: close\r\n\r\n" + kBody.substr(1000)));
    DownloadRequest request;
    request.url = server_.Url("/206");
    request.rangeFrom = c.header.empty() ? 0 : 1000;
    RecordingSink sink(Sink::kKeep);
    std::string reason;
    ASSERT_EQ(platform::HttpDownload(request, &sink, &reason), DownloadResult::kComplete) << reason;
    EXPECT_EQ(sink.head.hasContentRange, !c.header.empty());
    EXPECT_EQ(sink.head.rangeFirst, c.first);
    EXPECT_EQ(sink.head.rangeTotal, c.total);
    EXPECT_EQ(sink.head.contentLength, 199000);
    // The Range header only when asked for; the path goes out as given.
    const auto requests = server_.Requests();
    EXPECT_EQ(requests.back().Header("Range"), request.rangeFrom ? "bytes=1000-" : "");
    EXPECT_EQ(requests.back().raw.substr(0, requests.back().raw.find("\r\n")), "GET /206 HTTP/1.1");
  }
}

// A slow body, a body that stops coming, and an answer that never starts: a stop ends each within a
// second (WinINet's blocked receive outlasts the closing of its handle under Wine).
TEST_F(HttpDownloadTest, StopEndsATransferWithinASecond) {
  for (const char* path : {"/trickle", "/stall", "/silent"}) {
    SCOPED_TRACE(path);
    std::atomic<bool> stop{false};
    DownloadRequest request;
    request.url = server_.Url(path);
    request.stop = &stop;
    RecordingSink sink(Sink::kKeep);
    std::string reason;
    std::chrono::steady_clock::time_point stopped;
    std::thread closer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      stopped = std::chrono::steady_clock::now();
      stop = true;
    });
    const DownloadResult r = platform::HttpDownload(request, &sink, &reason);
    const auto end = std::chrono::steady_clock::now();
    closer.join();
    EXPECT_EQ(r, DownloadResult::kStopped) << reason;
    EXPECT_LT(std::chrono::duration<double>(end - stopped).count(), 1.0);
    EXPECT_EQ(sink.body, kBody.substr(0, sink.body.size()));
    if (std::string(path) != "/silent") {
      EXPECT_GT(sink.body.size(), 0u);
      EXPECT_LT(sink.body.size(), std::string(path) == "/stall" ? 50001u : 20000u);
    }
  }
}

TEST_F(HttpDownloadTest, ContentLengthFromAHeadRequest) {
  DownloadRequest request;
  for (const auto& c : {std::make_pair("/pkg/whole.pkg?v=1", 200000), std::make_pair("/r302", 200000),
                        std::make_pair("/missing", -1)}) {
    request.url = server_.Url(c.first);
    EXPECT_EQ(platform::HttpContentLength(request), c.second) << c.first;
  }
  for (const auto& r : server_.Requests()) EXPECT_EQ(r.method, "HEAD");
}

}  // namespace
