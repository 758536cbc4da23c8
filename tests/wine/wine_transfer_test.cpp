// The package transfer's promises outside the unit test's reach. HTTPS from a server whose certificate
// no authority signed (openssl s_server on loopback, a fresh self-signed certificate) is refused as a
// fault no retry mends, by the native transport and by WinINet under Wine; curl -k reaching the same
// server shows it is the certificate that is refused. And WinINet leaves no copy of a body in the
// prefix's Internet cache.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/http_download.h"
#include "tests/support/child_process.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_files.h"
#include "tests/support/wine_driver.h"

namespace {

using testsupport::Env;

class NoSink : public platform::DownloadSink {
 public:
  bool OnHead(const platform::DownloadHead&) override { return true; }
  bool OnBody(const char*, std::size_t) override { return true; }
};

std::string WinBin() {
  const std::string bin = Env("NOLK_WIN64_BIN_DIR");
  return bin.empty() ? Env("NOLK_SOURCE_DIR") + "/build/win64/bin" : bin;
}

bool CanRunProbe() {
  return testsupport::Exists(WinBin() + "/wine_download_probe.exe") && std::system("command -v wine >/dev/null 2>&1") == 0;
}

TEST(Https, CertificateNobodySignedIsRefused) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
  testsupport::TempDir tmp;
  const std::string cert = tmp.Path() + "/cert.pem", key = tmp.Path() + "/key.pem";
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 -keyout '" + key +
                         "' -out '" + cert + "' >/dev/null 2>&1")
                            .c_str()),
            0);
  const std::string port = std::to_string(testsupport::RefusedPort());
  testsupport::ProcessOptions o;
  o.argv = {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + port, "-cert", cert, "-key", key, "-www", "-quiet"};
  testsupport::ChildProcess server(o);
  const std::string url = "https://127.0.0.1:" + port + "/nolk-2.1.15.pkg";
  testsupport::ProcessOptions curl;
  curl.argv = {"/usr/bin/curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}", url};
  std::string code;
  for (int i = 0; i < 50 && code != "200"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    code = testsupport::RunProcess(curl).out;
  }
  ASSERT_EQ(code, "200") << "the TLS server did not come up";

  platform::DownloadRequest request;
  request.url = url;
  NoSink sink;
  std::string reason;
  bool headSeen = true;
  EXPECT_EQ(platform::HttpDownload(request, &sink, &reason, &headSeen), platform::DownloadResult::kFailed) << reason;
  EXPECT_FALSE(headSeen);

  if (!CanRunProbe()) GTEST_SKIP() << "no wine or no wine_download_probe.exe";
  const auto r = testsupport::RunProcess(
      testsupport::WineProcess(tmp.Path(), {WinBin() + "/wine_download_probe.exe", url}));
  // kFailed is 4, and no head reached the sink.
  EXPECT_EQ(r.out.substr(0, 17), "result 4 head 0 b") << r.out << r.err;
}

TEST(WinInet, LeavesNoCopyOfABodyInTheCache) {
  if (!CanRunProbe()) GTEST_SKIP() << "no wine or no wine_download_probe.exe";
  testsupport::TempDir tmp;
  // A name of its own, so no copy an earlier run left in a reused prefix is found.
  const std::string stem = "nolkcache" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  testsupport::WriteFile(tmp.Path() + "/" + stem + ".pkg", testsupport::RandomBytes(300000, 5));
  testsupport::HttpTestServer files;
  files.ServeDirectory(tmp.Path());
  const auto r = testsupport::RunProcess(testsupport::WineProcess(
      tmp.Path(), {WinBin() + "/wine_download_probe.exe", files.Url("/" + stem + ".pkg")}));
  ASSERT_EQ(r.out.substr(0, 29), "result 0 head 1 bytes 300000 ") << r.out << r.err;
  // The cache keeps a body as "<name>[<n>]..." somewhere below the users' folders.
  std::string prefix = Env("WINEPREFIX");
  if (prefix.empty()) prefix = Env("NOLK_SOURCE_DIR") + "/build/win64/wineprefix";
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(prefix + "/drive_c/users", ec), end; !ec && it != end;
       it.increment(ec))
    EXPECT_NE(it->path().filename().string().rfind(stem, 0), 0u) << it->path();
}

}  // namespace
