// The socket layer and the HTTP client against the loopback test server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "net/comm_http.h"
#include "net/socket_error.h"
#include "net/socket_init.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"

using NetModel::CommHttp;
using NetModel::TimeValue;
using testsupport::HttpAnswer;
using testsupport::HttpTestServer;

namespace {

// Reaches the transport's state for the checks that need it.
class ProbeHttp : public CommHttp {
 public:
  using CommHttp::CommHttp;
  TimeValue Budget() const { return budget_; }
  void SetBudget(TimeValue t) { budget_ = t; }
  bool Spent(TimeValue t0, TimeValue t1) { return Spend(t0, t1); }
};

const std::string kGet = "GET /list.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Close\r\n\r\n";

struct Exchange {
  bool ok;
  std::string error;
  std::string body;
  double seconds;
};

Exchange Fetch(const std::string& host, const std::string& port, const std::string& request = kGet,
               TimeValue connect = {5, 0}, TimeValue receive = {5, 0}) {
  auto t0 = std::chrono::steady_clock::now();
  CommHttp http(host, port, connect, receive);
  http.Request(request);
  Exchange e{http.IsOk(), http.GetError(), http.GetBody(), 0};
  e.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return e;
}

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NetModel::InitSockets());
    ASSERT_NE(server_.Port(), 0);
  }
  std::string Port() const { return std::to_string(server_.Port()); }
  Exchange Answer(const HttpAnswer& a, TimeValue receive = {5, 0}) {
    server_.SetDefault(a);
    return Fetch("127.0.0.1", Port(), kGet, {5, 0}, receive);
  }
  HttpTestServer server_;
};

}  // namespace

TEST(TimeValues, DifferenceIsNormalised) {
  TimeValue d = NetModel::TimeDiff({5, 100}, {2, 900000});
  EXPECT_EQ(d.seconds, 2);
  EXPECT_EQ(d.microseconds, 100100);
  d = NetModel::TimeDiff({1, 999999}, {0, -1});
  EXPECT_EQ(d.seconds, 2);
  EXPECT_EQ(d.microseconds, 0);
  EXPECT_EQ(NetModel::TimeCompare({1, 0}, {0, 999999}), 1);
  EXPECT_EQ(NetModel::TimeCompare({1, 5}, {1, 6}), -1);
  EXPECT_EQ(NetModel::TimeCompare({-1, 5}, {0, 0}), -1);
  EXPECT_EQ(NetModel::TimeCompare({3, 7}, {3, 7}), 0);
}

TEST(TimeValues, ClockTicksInMilliseconds) {
  TimeValue t;
  EXPECT_EQ(NetModel::NowTime(t), 0);
  EXPECT_EQ(t.microseconds % 1000, 0);
  EXPECT_GE(t.microseconds, 0);
  EXPECT_LT(t.microseconds, 1000000);
}

TEST(TimeValues, BudgetEqualToTheWaitIsUsedUp) {
  ProbeHttp http("127.0.0.1", "1", {1, 0}, {0, 0});
  http.SetBudget({0, 500000});
  EXPECT_TRUE(http.Spent({10, 0}, {10, 499000}));
  EXPECT_EQ(http.Budget().seconds, 0);
  EXPECT_EQ(http.Budget().microseconds, 1000);
  EXPECT_FALSE(http.Spent({10, 0}, {10, 1000}));
  EXPECT_EQ(http.GetError(), "Time Out!!!");
}

TEST(SocketErrors, EveryCodeHasItsText) {
  const struct {
    int code;
    const char* text;
  } table[] = {
      {10004, "Blocking call cancelled"},
      {10022, "app version not supported by DLL"},
      {10024, "no file descriptors available"},
      {10035, "socket marked as non-blocking and SO_LINGER set not 0"},
      {10036, "Blocking operation in progress"},
      {10038, "descriptor is not a socket"},
      {10041, "protocol wrong type for this socket"},
      {10043, "specified protocol not supported"},
      {10044, "socket type not supported for address family"},
      {10047, "address family not supported"},
      {10048, "address already in use"},
      {10049, "address not available"},
      {10050, "Network subsystem failed"},
      {10053, "connection aborted"},
      {10054, "connection reset"},
      {10055, "no buffer space available"},
      {10057, "not connected"},
      {10060, "connection timed out"},
      {10061, "connection refused"},
      {10064, "host down"},
      {10065, "host unreachable"},
      {10091, "WinSock not present or not responding"},
      {10092, "version of WinSock not supported"},
      {10093, "WSA Startup not initialized"},
      {11001, "Authoritive: Host not found"},
      {11002, "Non-authoritive: host not found or server failure"},
      {11003, "Non-recoverable: refused or not implemented"},
      {11004, "Valid name, no data record for type"},
  };
  for (const auto& row : table) EXPECT_EQ(NetModel::SocketErrorTextFor(row.code), row.text) << row.code;
  EXPECT_EQ(NetModel::SocketErrorTextFor(0), "Err code: 0");
  EXPECT_EQ(NetModel::SocketErrorTextFor(10051), "Err code: 10051");
  NetModel::SetLastSocketError(10061);
  EXPECT_EQ(NetModel::SocketErrorText(), "connection refused");
}

TEST_F(NetTest, RequestGoesOutByteForByteAndBodyComesBack) {
  Exchange e = Answer(HttpAnswer::Ok("2.1.15 http://h/p.gac abc\r\n"));
  EXPECT_TRUE(e.ok);
  EXPECT_EQ(e.error, "");
  EXPECT_EQ(e.body, "2.1.15 http://h/p.gac abc\r\n");
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(server_.Requests()[0].raw, kGet);
}

TEST_F(NetTest, StatusLineRules) {
  EXPECT_TRUE(Answer(HttpAnswer::Status("HTTP/1.0 200 OK", "x")).ok);

  Exchange e = Answer(HttpAnswer::Status("HTTP/1.1 404 Not Found", "200 OK"));
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, " 404 Not Found");
  EXPECT_EQ(e.body, "");

  HttpAnswer later = HttpAnswer::Status("HTTP/1.1 500 Internal Server Error");
  later.headers.push_back("X-Note: 200 OK");
  EXPECT_EQ(Answer(later).error, " 500 Internal Server Error");

  // Without any line end, "200 OK" anywhere will do.
  EXPECT_TRUE(Answer(HttpAnswer::Raw("garbage 200 OK garbage")).ok);
  // A first line without a space leaves the error text empty.
  Exchange odd = Answer(HttpAnswer::Raw("HTTP/1.1\r\nX: y\r\n\r\n"));
  EXPECT_FALSE(odd.ok);
  EXPECT_EQ(odd.error, "");
}

TEST_F(NetTest, RedirectIsNotFollowed) {
  Exchange e = Answer(HttpAnswer::Redirect(302, server_.Url("/elsewhere.txt")));
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, " 302 Found");
  EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST_F(NetTest, AnswerWithoutHeaderEndHasNoBody) {
  server_.SetDefault(HttpAnswer::Raw("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"));
  CommHttp http("127.0.0.1", Port(), {5, 0}, {5, 0});
  http.Request(kGet);
  EXPECT_TRUE(http.IsOk());
  EXPECT_EQ(http.GetBody(), "");
  std::string body = "stale";
  EXPECT_FALSE(http.DecodeBody(&body));
  EXPECT_EQ(body, "");
  EXPECT_NE(http.GetError(), "");
}

TEST_F(NetTest, GzipBodiesAreDecodedOnlyForTheExactHeader) {
  const std::string list = std::string("2.1.16 http://h/b.gac ") + std::string(40, 'f') + "\n";
  HttpAnswer gz = HttpAnswer::Ok(list);
  gz.gzip = true;
  EXPECT_EQ(Answer(gz).body, list);

  // Other spellings of the header leave the body as it came.
  const std::string packed = testsupport::GzipBytes(list);
  for (const char* header : {"content-encoding: gzip", "Content-Encoding:gzip", "Content-Encoding: GZIP"}) {
    HttpAnswer a = HttpAnswer::Ok(packed);
    a.headers.push_back(header);
    EXPECT_EQ(Answer(a).body, packed) << header;
  }

  // A body that is no gzip at all comes back unchanged.
  HttpAnswer plain = HttpAnswer::Ok("not compressed at all");
  plain.headers.push_back("Content-Encoding: gzip");
  EXPECT_EQ(Answer(plain).body, "not compressed at all");
}

TEST_F(NetTest, BrokenGzipIsAFailureNotAnEmptyList) {
  std::string packed = testsupport::GzipBytes(std::string(5000, 'x') + testsupport::RandomBytes(5000, 3));
  for (const std::string& bad :
       {packed.substr(0, packed.size() / 2), packed.substr(0, 10) + std::string(200, '\x55')}) {
    HttpAnswer a = HttpAnswer::Ok(bad);
    a.headers.push_back("Content-Encoding: gzip");
    server_.SetDefault(a);
    CommHttp http("127.0.0.1", Port(), {5, 0}, {5, 0});
    http.Request(kGet);
    EXPECT_TRUE(http.IsOk());
    EXPECT_TRUE(http.GetBody().empty());
    std::string body;
    EXPECT_FALSE(http.DecodeBody(&body));
    EXPECT_EQ(http.GetError(), "gzip body could not be decoded");
  }
}

TEST_F(NetTest, ChunkedBodiesAreDechunked) {
  const std::string list = "2.1.15 http://h/a.gac 00112233445566778899aabbccddeeff\n#bturl http://h/\n";
  HttpAnswer chunked = HttpAnswer::Ok(list);
  chunked.chunked = true;
  chunked.chunkSize = 7;
  EXPECT_EQ(Answer(chunked).body, list);

  HttpAnswer both = chunked;
  both.gzip = true;
  EXPECT_EQ(Answer(both).body, list);

  // Chunk extensions and lower-case header spelling are understood too.
  EXPECT_EQ(
      Answer(HttpAnswer::Raw("HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n3;x=y\r\nabc\r\n0\r\n\r\n")).body,
      "abc");

  // A chunked body that ends early fails instead of reading as a short list.
  server_.SetDefault(HttpAnswer::Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc"));
  CommHttp http("127.0.0.1", Port(), {5, 0}, {5, 0});
  http.Request(kGet);
  std::string body;
  EXPECT_TRUE(http.IsOk());
  EXPECT_FALSE(http.DecodeBody(&body));
  EXPECT_EQ(http.GetError(), "broken chunked body");
}

TEST(Dechunk, FramingRules) {
  std::string out;
  EXPECT_TRUE(NetModel::Dechunk("A\r\n0123456789\r\n1\n!\n0\r\nTrailer: x\r\n\r\n", &out));
  EXPECT_EQ(out, "0123456789!");
  EXPECT_FALSE(NetModel::Dechunk("", &out));
  EXPECT_FALSE(NetModel::Dechunk("zz\r\n", &out));
  EXPECT_FALSE(NetModel::Dechunk("3\r\nabcd\r\n0\r\n\r\n", &out));      // data longer than announced
  EXPECT_FALSE(NetModel::Dechunk("ffffffffffffffff\r\nab\r\n", &out));  // absurd size
  EXPECT_FALSE(NetModel::Dechunk("3\r\nabc\r\n", &out));                // no closing chunk
}

TEST_F(NetTest, GzipTemporaryFileIsRemoved) {
  testsupport::TempDir tmp;
#ifdef _WIN32
  std::string var = "TMP=" + tmp.Path();
  _putenv(var.c_str());
#else
  setenv("TMPDIR", tmp.Path().c_str(), 1);
#endif
  HttpAnswer gz = HttpAnswer::Ok("payload");
  gz.gzip = true;
  EXPECT_EQ(Answer(gz).body, "payload");
  HttpAnswer bad = HttpAnswer::Ok("\x1f\x8b\x08\x00garbage");
  bad.headers.push_back("Content-Encoding: gzip");
  EXPECT_EQ(Answer(bad).body, "");
#ifdef _WIN32
  _putenv("TMP=");
#else
  unsetenv("TMPDIR");
#endif
  // The "gp" files were deleted after decoding, the good and the broken one alike.
  std::size_t left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(tmp.Path())) {
    (void)entry;
    ++left;
  }
  EXPECT_EQ(left, 0u);
}

TEST_F(NetTest, CloseWithoutDataLeavesNoErrorAndNoOk) {
  HttpAnswer a;
  a.closeWithoutData = true;
  Exchange e = Answer(a);
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, "");
  EXPECT_EQ(e.body, "");
}

TEST_F(NetTest, EarlyCloseInTheBodyKeepsWhatArrived) {
  HttpAnswer a = HttpAnswer::Ok("abcdefghij");
  a.contentLength = false;
  a.closeAfterBytes = a.Bytes().size() - 4;
  Exchange e = Answer(a);
  EXPECT_TRUE(e.ok);
  EXPECT_EQ(e.body, "abcdef");
}

TEST_F(NetTest, RefusedConnectionFailsAtOnceWithItsText) {
  Exchange e = Fetch("127.0.0.1", std::to_string(testsupport::RefusedPort()), kGet, {25, 0}, {86, 0});
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, "connection refused");
  EXPECT_LT(e.seconds, 5.0);
}

TEST_F(NetTest, UnresolvableHostFailsWithAResolverText) {
  // A label longer than 63 characters is refused by the resolver before it asks any server.
  const std::string host = std::string(70, 'q') + ".invalid";
  Exchange e = Fetch(host, Port());
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, "Authoritive: Host not found");
  EXPECT_LT(e.seconds, 5.0);
}

TEST_F(NetTest, DottedHostGoesToTheAddressParser) {
  // "127.1" is 127.0.0.1 to inet_addr; a resolver would not be asked.
  server_.SetDefault(HttpAnswer::Ok("short form"));
  EXPECT_EQ(Fetch("127.1", Port()).body, "short form");
  // Digits and dots that make no address fail without any traffic.
  Exchange e = Fetch("1.2.3.4.5", Port());
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, "address not available");
  EXPECT_EQ(Fetch("", Port()).error, "address not available");
}

TEST_F(NetTest, PortTextCountsOnlyItsLeadingDigits) {
  server_.SetDefault(HttpAnswer::Ok("ok"));
  EXPECT_TRUE(Fetch("127.0.0.1", Port() + "xyz").ok);
  Exchange none = Fetch("127.0.0.1", "x" + Port());  // port 0
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST_F(NetTest, StallLongerThanTheBudgetTimesOut) {
  HttpAnswer a = HttpAnswer::Ok("late");
  a.stallMs = 3000;
  auto t0 = std::chrono::steady_clock::now();
  Exchange e = Answer(a, {0, 300000});
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, "connection timed out");
  EXPECT_LT(s, 2.5);
}

TEST_F(NetTest, TrickleUsesUpTheBudgetOverAllWaits) {
  // Every single wait is short, but together they exceed the budget.
  HttpAnswer a = HttpAnswer::Ok(std::string(200, 'z'));
  a.trickleBytes = 10;
  a.trickleDelayMs = 60;
  server_.SetDefault(a);
  ProbeHttp http("127.0.0.1", Port(), {5, 0}, {0, 400000});
  http.Request(kGet);
  EXPECT_FALSE(http.IsOk());
  const std::string err = http.GetError();
  EXPECT_TRUE(err == "Time Out!!!" || err == "connection timed out") << err;
  EXPECT_FALSE(http.GetResponse().empty());
  EXPECT_LT(http.GetResponse().size(), a.Bytes().size());
}

TEST_F(NetTest, ZeroReceiveLimitGoesOnWithTheConnectBudget) {
  HttpAnswer a = HttpAnswer::Ok("slow");
  a.stallMs = 600;
  server_.SetDefault(a);
  EXPECT_TRUE(Fetch("127.0.0.1", Port(), kGet, {5, 0}, {0, 0}).ok);
  Exchange e = Fetch("127.0.0.1", Port(), kGet, {0, 200000}, {0, 0});
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, "connection timed out");
}

TEST_F(NetTest, EmptyRequestSendsNothingAndStillReceives) {
  HttpAnswer a = HttpAnswer::Ok("unasked");
  a.waitForRequest = false;
  server_.SetDefault(a);
  EXPECT_EQ(Fetch("127.0.0.1", Port(), "").body, "unasked");
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(server_.Requests()[0].raw, "");
}

TEST_F(NetTest, LargeRequestIsSentWhole) {
  // Far more than a socket buffer takes at once, so send() writes it in parts.
  const std::string payload = testsupport::RandomBytes(24u << 20, 7);
  const std::string request =
      "POST /big HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(payload.size()) + "\r\n\r\n" +
      payload;
  server_.SetDefault(HttpAnswer::Ok("got it"));
  Exchange e = Fetch("127.0.0.1", Port(), request, {5, 0}, {30, 0});
  EXPECT_TRUE(e.ok) << e.error;
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_TRUE(server_.Requests()[0].raw == request);
}

TEST_F(NetTest, OversizedAnswerFailsWithAClearText) {
  HttpAnswer a = HttpAnswer::Ok(std::string(NetModel::kMaxResponseBytes + 1, 'x'));
  Exchange e = Answer(a, {30, 0});
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.error, "answer larger than 64 MiB");
}
