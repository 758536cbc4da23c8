// A whole run against a real web server: Debian's nginx on a loopback port serves the update list
// with on-the-fly gzip, which it sends chunked.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/comm_http.h"
#include "net/socket_init.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

namespace {

const char kNginx[] = "/usr/sbin/nginx";

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

TEST(NginxRun, GzipChunkedListFromARealServer) {
  if (access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
  testsupport::TempDir tmp;
  testsupport::UpdateChain chain;
  std::string error;
  ASSERT_TRUE(testsupport::MakeUpdateChain(tmp.Path() + "/build", "2.1.14", 3, 60, 5, &chain, &error)) << error;

  const std::string www = tmp.Path() + "/www";
  testsupport::MakeDirs(www + "/package/website");
  testsupport::WriteFile(www + "/package/website/patchlist.txt", chain.ListBody());
  const int port = FreePort();
  const std::string conf = tmp.Path() + "/nginx.conf";
  const std::string t = tmp.Path();
  testsupport::WriteFile(conf, "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " + t +
                                   "/error.log;\npid " + t +
                                   "/nginx.pid;\nevents { worker_connections 32; }\n"
                                   "http {\n  access_log off;\n  default_type text/plain;\n"
                                   "  client_body_temp_path " +
                                   t + "/cb;\n  proxy_temp_path " + t +
                                   "/px;\n"
                                   "  fastcgi_temp_path " +
                                   t + "/fc;\n  uwsgi_temp_path " + t +
                                   "/uw;\n"
                                   "  scgi_temp_path " +
                                   t +
                                   "/sc;\n"
                                   "  gzip on;\n  gzip_min_length 1;\n  gzip_types text/plain;\n"
                                   "  server {\n    listen 127.0.0.1:" +
                                   std::to_string(port) + ";\n    root " + www + ";\n  }\n}\n");
  testsupport::ProcessOptions serverOptions;
  serverOptions.argv = {kNginx, "-c", conf, "-p", t};
  serverOptions.timeoutSeconds = 120;
  testsupport::ChildProcess nginx(serverOptions);

  // Wait until it answers, and make sure it really sends the list gzip-encoded and chunked.
  NetModel::InitSockets();
  std::string response;
  for (int i = 0; i < 100; ++i) {
    NetModel::CommHttp http("127.0.0.1", std::to_string(port), NetModel::TimeValue{5, 0}, NetModel::TimeValue{5, 0});
    http.Request(
        "GET /package/website/patchlist.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\n"
        "Connection: Close\r\n\r\n");
    if (http.IsOk()) {
      response = http.GetResponse();
      EXPECT_EQ(http.GetBody(), chain.ListBody());
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(response.empty()) << "nginx did not answer";
  const std::string head = response.substr(0, response.find("\r\n\r\n"));
  EXPECT_NE(head.find("Content-Encoding: gzip"), std::string::npos) << head;
  EXPECT_NE(head.find("Transfer-Encoding: chunked"), std::string::npos) << head;

  testsupport::HttpTestServer stats;
  stats.SetDefault(testsupport::HttpAnswer::Ok(""));
  const std::string game = tmp.Path() + "/game";
  const char* bin = std::getenv("NOLK_BIN_DIR");
  testsupport::MakeInstallation(chain, game, bin ? bin : "",
                                "http://127.0.0.1:" + std::to_string(port) + "/package/website/patchlist.txt",
                                stats.Url("/query?"));
  auto r = testsupport::RunProcess(testsupport::ProgramOptions(game, tmp.Path()));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testsupport::CompareTrees(chain.trees[3], game, testsupport::InstallationOnly), std::vector<std::string>());
  nginx.Kill(SIGTERM);
  nginx.Wait();
}

}  // namespace
