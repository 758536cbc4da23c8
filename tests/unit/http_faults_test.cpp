// The HTTP client against misbehaving servers: answers cut short of their Content-Length, servers
// that keep the connection open after a whole answer, the tick counter's wrap during a wait, a
// budget used up by a real wait, and a stop asked for while a server stalls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "net/comm_http.h"
#include "net/socket_init.h"
#include "tests/support/http_test_server.h"

using NetModel::CommHttp;
using NetModel::TimeValue;
using testsupport::HttpAnswer;
using testsupport::HttpTestServer;

namespace {

const std::string kGet = "GET /list.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Close\r\n\r\n";

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The clock the transport reads, set by the test: a real millisecond clock moved by an offset and
// a speed-up.
std::atomic<std::uint32_t> g_offset{0};
std::atomic<int> g_speed{1};
std::uint32_t TestTicks() {
  static const auto origin = std::chrono::steady_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - origin).count();
  return g_offset.load() + static_cast<std::uint32_t>(ms) * static_cast<std::uint32_t>(g_speed.load());
}

class ClockedHttp : public CommHttp {
 public:
  ClockedHttp(const std::string& port, TimeValue connect, TimeValue receive)
      : CommHttp("127.0.0.1", port, connect, receive) {
    ticks_ = TestTicks;
  }
  TimeValue Budget() const { return budget_; }
};

class HttpFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NetModel::InitSockets());
    ASSERT_NE(server_.Port(), 0);
    g_offset = 0;
    g_speed = 1;
  }
  std::string Port() const { return std::to_string(server_.Port()); }
  HttpTestServer server_;
};

}  // namespace

TEST_F(HttpFaults, AnswerCutShortOfItsContentLengthFails) {
  const std::string list = "2.1.15 http://127.0.0.1/package/nolk-2.1.15.pkg 0123456789abcdef0123456789abcdef\n"
                           "2.1.16 http://127.0.0.1/package/nolk-2.1.16.pkg 0123456789abcdef0123456789abcdef\n";
  ASSERT_EQ(list.size(), 162u);
  HttpAnswer a = HttpAnswer::Ok(list);
  const std::size_t head = a.Bytes().size() - list.size();
  for (std::size_t cut : {std::size_t(0), std::size_t(40), std::size_t(81), std::size_t(161)}) {
    a.closeAfterBytes = head + cut;
    server_.SetDefault(a);
    CommHttp http("127.0.0.1", Port(), {5, 0}, {5, 0});
    http.Request(kGet);
    std::string body = "stale";
    EXPECT_FALSE(http.DecodeBody(&body)) << cut;
    EXPECT_EQ(body, "") << cut;
    EXPECT_EQ(http.GetBody(), "") << cut;
    EXPECT_EQ(http.GetError(), "answer cut short: " + std::to_string(cut) + " of 162 bytes arrived") << cut;
  }
  // Whole, it is the list.
  a.closeAfterBytes = SIZE_MAX;
  server_.SetDefault(a);
  CommHttp http("127.0.0.1", Port(), {5, 0}, {5, 0});
  http.Request(kGet);
  std::string body;
  EXPECT_TRUE(http.DecodeBody(&body)) << http.GetError();
  EXPECT_EQ(body, list);
}

TEST_F(HttpFaults, ServerThatKeepsTheConnectionOpenIsNotWaitedFor) {
  const std::string list = "2.1.15 http://127.0.0.1/package/a.pkg 00112233445566778899aabbccddeeff\n";
  HttpAnswer plain = HttpAnswer::Ok(list);
  plain.holdOpenMs = 20000;
  HttpAnswer chunked = plain;
  chunked.chunked = true;
  chunked.contentLength = false;
  chunked.chunkSize = 9;
  HttpAnswer gz = plain;
  gz.gzip = true;
  for (const HttpAnswer& a : {plain, chunked, gz}) {
    server_.SetDefault(a);
    auto t0 = std::chrono::steady_clock::now();
    CommHttp http("127.0.0.1", Port(), {5, 0}, {10, 0});
    http.Request(kGet);
    std::string body;
    EXPECT_TRUE(http.DecodeBody(&body)) << http.GetError();
    EXPECT_EQ(body, list);
    EXPECT_LT(SecondsSince(t0), 3.0);
  }
  // Bytes beyond the Content-Length are no part of the answer.
  server_.SetDefault(HttpAnswer::Raw("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef"));
  CommHttp http("127.0.0.1", Port(), {5, 0}, {5, 0});
  http.Request(kGet);
  EXPECT_EQ(http.GetBody(), "abc");
}

TEST(HttpFraming, CompleteOnlyAtItsOwnEnd) {
  // Each answer is fed byte by byte: complete exactly when its last framing byte has arrived.
  struct Case {
    std::string answer;
    std::size_t completeAt;  // bytes; 0 = never (read until close)
  };
  const std::string head = "HTTP/1.1 200 OK\r\n";
  const std::string chunkedBody = "3\r\nabc\n1;ext\r\nd\r\n0\r\n\r\n";
  const Case cases[] = {
      {head + "content-length:  5 \r\n\r\nhello", head.size() + 23 + 5},
      {head + "Content-Length: 0\r\n\r\n", head.size() + 21},
      {head + "Transfer-Encoding: chunked\r\n\r\n" + chunkedBody, head.size() + 30 + chunkedBody.size() - 2},
      {head + "Content-Length: 5x\r\n\r\nhello", 0},
      {head + "X: y\r\n\r\nuntil close", 0},
      {head + "Transfer-Encoding: chunked\r\n\r\nzz\r\nabc", 0},
  };
  class Fed : public NetModel::SimpleHttp {
   public:
    Fed() : SimpleHttp("127.0.0.1", "1", {1, 0}, {1, 0}) {}
    void Add(char c) { response_ += c; }

   protected:
    void Connect() override {}
    void Send() override {}
    void Receive() override {}
    void Close() override {}
  };
  for (const Case& c : cases) {
    Fed fed;
    std::size_t at = 0;
    for (std::size_t i = 0; i < c.answer.size() && at == 0; ++i) {
      fed.Add(c.answer[i]);
      if (fed.AnswerComplete()) at = i + 1;
    }
    EXPECT_EQ(at, c.completeAt) << c.answer;
  }
}

TEST_F(HttpFaults, TickCounterWrapNeverGrowsTheBudget) {
  // The counter is 40 ms short of its wrap when the exchange starts; the server stalls 300 ms.
  g_offset = 0xFFFFFFFFu - 40u - TestTicks();
  HttpAnswer a = HttpAnswer::Ok("late but whole");
  a.stallMs = 300;
  server_.SetDefault(a);
  ClockedHttp http(Port(), {5, 0}, {5, 0});
  http.Request(kGet);
  EXPECT_TRUE(http.IsOk()) << http.GetError();
  EXPECT_EQ(http.GetBody(), "late but whole");
  // What is left is the budget less the wait, never more than the budget.
  EXPECT_LE(http.Budget().seconds, 4);
  EXPECT_GE(http.Budget().seconds, 3);

  // A span read across the wrap is the short true span.
  TimeValue t = NetModel::TickSpan({4294967, 290000}, {0, 5000});
  EXPECT_EQ(t.seconds, 0);
  EXPECT_EQ(t.microseconds, 11000);
  // An earlier reading can only mean a wrap: a span of almost 49.7 days, never a negative one.
  t = NetModel::TickSpan({10, 0}, {9, 0});
  EXPECT_EQ(t.seconds, 4294966);
  EXPECT_EQ(t.microseconds, 296000);
}

TEST_F(HttpFaults, WaitLongerThanTheBudgetSaysTimeOut) {
  // A real wait of 200 ms on a clock that runs a hundred times fast: 20 s against a 2 s budget.
  g_speed = 100;
  HttpAnswer a = HttpAnswer::Ok("too late");
  a.stallMs = 200;
  server_.SetDefault(a);
  ClockedHttp http(Port(), {5, 0}, {2, 0});
  http.Request(kGet);
  EXPECT_FALSE(http.IsOk());
  EXPECT_EQ(http.GetError(), "Time Out!!!");
}

TEST_F(HttpFaults, StopEndsAStalledExchangeAtOnce) {
  HttpAnswer a = HttpAnswer::Ok("never");
  a.stallMs = 20000;
  server_.SetDefault(a);
  std::atomic<bool> stop{false};
  std::thread asker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
  });
  auto t0 = std::chrono::steady_clock::now();
  CommHttp http("127.0.0.1", Port(), {5, 0}, {86, 0});
  http.SetStopFlag(&stop);
  http.Request(kGet);
  asker.join();
  EXPECT_FALSE(http.IsOk());
  EXPECT_EQ(http.GetError(), "stopped");
  EXPECT_LT(SecondsSince(t0), 1.5);
}
