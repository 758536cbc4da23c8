// nolkpatch.exe under Wine, on a file system that ignores case: random release histories built by
// the nolkpack program from plain trees, applied from every earlier release, end byte for byte at
// the newest release, names compared as Windows compares them (NOLK_WINE_HISTORIES sets the count).
// The releases ship and change the program itself: a second start runs the program the chain left
// and leaves nothing else in bin/patch/.
// And sections named after Windows devices are invalid sections, not file-layer failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/package_bytes.h"
#include "tests/support/reference_md5.h"
#include "tests/support/release_history.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"
#include "tests/support/wine_driver.h"
#include "update/version.h"

namespace {

using testsupport::Env;
using testsupport::Unhex;
using testsupport::WinePath;

class WineHistory : public ::testing::Test {
 protected:
  void SetUp() override {
    winBin_ = Env("NOLK_WIN64_BIN_DIR");
    if (winBin_.empty()) winBin_ = Env("NOLK_SOURCE_DIR") + "/build/win64/bin";
    for (const char* f : {"nolkpatch.exe", "nolkdbghelp.dll", "wine_window_helper.exe"})
      if (!testsupport::Exists(winBin_ + "/" + f)) GTEST_SKIP() << "no " << f << " in " << winBin_;
    if (Env("DISPLAY").empty()) GTEST_SKIP() << "no display";
    if (std::system("command -v wine >/dev/null 2>&1") != 0) GTEST_SKIP() << "no wine";
    server_.SetDefault(testsupport::HttpAnswer::Ok(""));
  }

  testsupport::ProcessOptions WineOptions(const std::string& cwd, std::vector<std::string> args) {
    return testsupport::WineProcess(cwd, args);
  }

  // The program files (unless the release ships them) and Url.ini into an installation.
  void Deploy(const std::string& game) {
    testsupport::MakeDirs(game + "/bin/patch");
    testsupport::MakeDirs(game + "/var/gac");
    for (const char* f : {"nolkpatch.exe", "nolkdbghelp.dll"}) {
      std::string bytes;
      testsupport::ReadFile(winBin_ + "/" + f, &bytes);
      if (!testsupport::Exists(game + "/bin/patch/" + f)) testsupport::WriteFile(game + "/bin/patch/" + f, bytes);
    }
    testsupport::WriteFile(game + "/var/gac/Url.ini",
                           testsupport::UrlIniText(server_.Url("/list"), server_.Url("/query?")));
  }

  testsupport::TempDir tmp_;
  testsupport::HttpTestServer server_;
  std::string winBin_;
};

TEST_F(WineHistory, EveryEarlierReleaseEndsAtTheNewest) {
  const int releases = 6;
  const int count = Env("NOLK_WINE_HISTORIES").empty() ? 3 : std::atoi(Env("NOLK_WINE_HISTORIES").c_str());
  for (int seed = 1001; seed < 1001 + count; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string work = tmp_.Path() + "/h" + std::to_string(seed);
    const std::vector<std::string> programFiles = {"nolkpatch.exe", "nolkdbghelp.dll"};
    const testsupport::ReleaseHistory h =
        testsupport::MakeReleaseHistory(static_cast<std::uint32_t>(seed), releases, programFiles);
    std::map<std::string, std::string> programs;
    for (const std::string& f : programFiles) ASSERT_TRUE(testsupport::ReadFile(winBin_ + "/" + f, &programs[f]));
    std::string list;
    std::vector<std::string> packages;
    for (int i = 0; i < releases; ++i) {
      h.Write(i, work + "/r" + std::to_string(i), programs);
      if (i == 0) continue;
      // Built as an operator does, with the program.
      const std::string out = work + "/nolk-" + h.versions[i] + ".pkg";
      testsupport::ProcessOptions o;
      o.argv = {Env("NOLK_BIN_DIR") + "/nolkpack", "build", work + "/r" + std::to_string(i - 1),
                work + "/r" + std::to_string(i), "--version", h.versions[i], "-o", out};
      o.env = {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
      auto r = testsupport::RunProcess(o);
      ASSERT_EQ(r.exitCode, 0) << r.err;
      packages.push_back(out);
      list += h.versions[i] + " http://127.0.0.1/package/nolk-" + h.versions[i] + ".pkg " + testsupport::ReferenceMd5(out) +
              "\r\n";
    }
    server_.SetAnswer("/list", testsupport::HttpAnswer::Ok(list));
    const std::string newest = work + "/r" + std::to_string(releases - 1);
    for (int start = 0; start + 1 < releases; ++start) {
      SCOPED_TRACE("from release " + std::to_string(start));
      const std::string game = work + "/game" + std::to_string(start);
      testsupport::CopyTree(work + "/r" + std::to_string(start), game);
      Deploy(game);
      for (const std::string& p : packages) {
        std::string bytes;
        testsupport::ReadFile(p, &bytes);
        testsupport::WriteFile(game + "/var/gac/" + p.substr(p.rfind('/') + 1), bytes);
      }
      for (int run = 0; run < 2; ++run) {
        auto r = testsupport::RunProcess(WineOptions(game + "/bin/patch", {"nolkpatch.exe"}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        testsupport::WaitForPendingProgram(game + "/bin/patch");
      }
      std::vector<std::string> diffs =
          testsupport::CompareWithRelease(h, newest, game, true, testsupport::OutsideTheRelease(h, programFiles));
      ASSERT_TRUE(diffs.empty()) << ::testing::PrintToString(diffs);
    }
  }
}

TEST_F(WineHistory, DeviceNamesAreInvalidSections) {
  for (const char* name : {"data/NUL", "data/aux.txt", "data/COM1", "data/con"}) {
    SCOPED_TRACE(name);
    const std::string game = tmp_.Path() + "/dev" + std::to_string(std::string(name).size()) + name[5];
    testsupport::MakeDirs(game + "/data");
    Deploy(game);
    testsupport::WriteFile(game + "/var/gac/update.ini", testsupport::UpdateIniText("2.1.14"));
    const std::string body = testsupport::Record("FDDA", 0, name, "evil") + std::string(1, '\0');
    const std::string pkg = testsupport::PackageBytes(MakeVersionCode(2, 1, 15), body);
    testsupport::WriteFile(game + "/var/gac/d.pkg", pkg);
    testsupport::WriteFile(tmp_.Path() + "/d.pkg", pkg);
    server_.SetAnswer("/list", testsupport::HttpAnswer::Ok(std::string("2.1.15 http://127.0.0.1/package/d.pkg ") +
                                                           testsupport::ReferenceMd5(tmp_.Path() + "/d.pkg") + "\r\n"));
    testsupport::ChildProcess run(WineOptions(game + "/bin/patch", {"nolkpatch.exe"}));
    std::vector<std::string> texts;
    for (int i = 0; i < 3; ++i) {
      const std::string boxFile = tmp_.Path() + "/box";
      std::remove(boxFile.c_str());
      testsupport::RunProcess(
          WineOptions(tmp_.Path(), {winBin_ + "/wine_window_helper.exe", "box", "ok", "30000", WinePath(boxFile)}));
      std::string line;
      testsupport::ReadFile(boxFile, &line);
      std::istringstream in(line);
      std::string caption, text;
      in >> caption >> text;
      texts.push_back(Unhex(text));
    }
    auto r = run.Wait();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(texts, (std::vector<std::string>{"d.pkg含有不合法的数据节!", "更新中发生错误!", "发生错误, 放弃继续更新"}));
    std::vector<std::string> left = testsupport::ListTree(game + "/data");
    EXPECT_EQ(left, std::vector<std::string>());
  }
}

}  // namespace
