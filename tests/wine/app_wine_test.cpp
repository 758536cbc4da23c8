// The real nolkpatch.exe under Wine and Xvfb: its window, a screenshot of it, its message boxes read
// and answered by the Win32 helper, its exit codes and statistics queries. Needs the win64 build
// (NOLK_WIN64_BIN_DIR), a display (DISPLAY) and Wine; skipped when one is missing.
#include <gtest/gtest.h>
#include <bzlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/game_tree.h"
#include "tests/support/http_test_server.h"
#include "tests/support/package_bytes.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

using testsupport::HttpAnswer;
using testsupport::HttpTestServer;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

using testsupport::Env;

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) out += std::string(1, d[c >> 4]) + d[c & 15];
  return out.empty() ? "-" : out;
}

std::string Unhex(const std::string& h) {
  if (h == "-") return "";
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out += static_cast<char>(std::strtol(h.substr(i, 2).c_str(), nullptr, 16));
  return out;
}

std::string WinePath(const std::string& unixPath) {
  std::string p = "Z:" + unixPath;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

struct Box {
  std::string caption, text, order, exStyle;
};

struct Control {
  int id;
  int x, y, w, h;
  std::string text;
};

// A screenshot as RGB pixels.
struct Picture {
  int width = 0, height = 0;
  std::string rgb;
  bool Load(const std::string& png) {
    std::string ppm = png + ".ppm";
    if (std::system(("convert " + Quote(png) + " " + Quote("ppm:" + ppm)).c_str()) != 0) return false;
    std::ifstream in(ppm, std::ios::binary);
    std::string magic;
    int maxv = 0;
    in >> magic >> width >> height >> maxv;
    in.get();
    rgb.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(ppm.c_str());
    return magic == "P6" && maxv == 255 && rgb.size() >= static_cast<std::size_t>(width) * height * 3;
  }
  // Outside the screen reads as white, so a misplaced window fails the checks instead of the test.
  void At(int x, int y, int* r, int* g, int* b) const {
    if (x < 0 || y < 0 || x >= width || y >= height) {
      *r = *g = *b = 255;
      return;
    }
    std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
    *r = static_cast<unsigned char>(rgb[i]);
    *g = static_cast<unsigned char>(rgb[i + 1]);
    *b = static_cast<unsigned char>(rgb[i + 2]);
  }
  // Pixels of text inside the rectangle (the picture's panel is far lighter; text is black, smoothed).
  int DarkPixels(const Control& c) const {
    int n = 0;
    for (int y = c.y; y < c.y + c.h; ++y)
      for (int x = c.x; x < c.x + c.w; ++x) {
        int r, g, b;
        At(x, y, &r, &g, &b);
        if (r + g + b < 400) ++n;
      }
    return n;
  }
  void Mean(int x0, int y0, int w, int h, int* r, int* g, int* b) const {
    long sr = 0, sg = 0, sb = 0, n = 0;
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) {
        int pr, pg, pb;
        At(x, y, &pr, &pg, &pb);
        sr += pr, sg += pg, sb += pb, ++n;
      }
    if (n == 0) n = 1;
    *r = static_cast<int>(sr / n), *g = static_cast<int>(sg / n), *b = static_cast<int>(sb / n);
  }
};

class WineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = Env("NOLK_WIN64_BIN_DIR");
    if (bin_.empty()) bin_ = Env("NOLK_SOURCE_DIR") + "/build/win64/bin";
    if (!testsupport::Exists(bin_ + "/nolkpatch.exe") || !testsupport::Exists(bin_ + "/wine_window_helper.exe"))
      GTEST_SKIP() << "no win64 build in " << bin_;
    if (Env("DISPLAY").empty()) GTEST_SKIP() << "no display";
    if (std::system("command -v wine >/dev/null 2>&1") != 0) GTEST_SKIP() << "no wine";
    wineRun_ = Env("NOLK_SOURCE_DIR") + "/tests/support/wine-run";

    game_ = tmp_.Path() + "/game";
    start_ = game_ + "/bin/patch";
    gac_ = game_ + "/var/gac";
    testsupport::MakeBareInstallation(game_, "2.1.14", server_.Url("/patchlist.txt"), server_.Url("/query?"));
    server_.SetDefault(HttpAnswer::Ok(""));
  }

  // Starts a program under Wine in the start folder; its exit code lands in a file of its own.
  std::string Start(const std::string& exe, const std::string& args = "") {
    std::string tag = std::to_string(runs_++);
    std::string rc = tmp_.Path() + "/rc" + tag;
    std::string cmd = "(cd " + Quote(start_) + " && " + Quote(wineRun_) + " " + Quote(exe) + " " + args +
                      " </dev/null >/dev/null 2>" + Quote(tmp_.Path() + "/wine" + tag) + "; echo $? >" + Quote(rc) +
                      ") </dev/null >/dev/null 2>&1 &";
    started_.push_back(rc);
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return rc;
  }

  // The exit code of a started program, or -1 when it did not end in time.
  int ExitCode(const std::string& rcFile, int timeoutMs = 60000) {
    std::string rc;
    for (int waited = 0; waited < timeoutMs; waited += 100) {
      if (ReadFile(rcFile, &rc) && !rc.empty() && rc.back() == '\n') return std::atoi(rc.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

  // Runs the helper and returns what it wrote; empty when it failed.
  std::string Helper(const std::string& args, int* code = nullptr) {
    std::string out = tmp_.Path() + "/helper" + std::to_string(runs_++);
    std::string cmd = Quote(wineRun_) + " " + Quote(bin_ + "/wine_window_helper.exe") + " " + args + " " +
                      Quote(WinePath(out)) + " </dev/null >/dev/null 2>&1";
    int status = std::system(cmd.c_str());
    if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string s;
    ReadFile(out, &s);
    return s;
  }

  // Waits for the next message box, answers it and says what it showed.
  Box NextBox(const std::string& button = "ok", int timeoutMs = 30000) {
    std::istringstream in(Helper("box " + button + " " + std::to_string(timeoutMs)));
    std::string caption, text;
    Box b;
    in >> caption >> text >> b.order >> b.exStyle;
    b.caption = Unhex(caption);
    b.text = Unhex(text);
    return b;
  }

  std::string Package(const std::string& name, unsigned patch, bool present = true) {
    std::string path = gac_ + "/" + name;
    WriteFile(path, testsupport::RandomBytes(3000 + patch, patch));
    std::string md5 = testsupport::ReferenceMd5(path);
    if (!present) std::remove(path.c_str());
    return "2.1." + std::to_string(patch) + " http://127.0.0.1/package/" + name + " " + md5 + "\n";
  }

  std::vector<std::string> Queries() {
    std::vector<std::string> q;
    for (const auto& r : server_.Requests())
      if (r.target.compare(0, 7, "/query?") == 0) q.push_back(r.target);
    return q;
  }

  // A test that stopped early may leave a run waiting at a box; end it so the next test can start one.
  void TearDown() override {
    for (const std::string& rc : started_) {
      std::string text;
      if (!(ReadFile(rc, &text) && !text.empty())) {
        std::system((Quote(wineRun_) + " taskkill /f /im nolkpatch.exe </dev/null >/dev/null 2>&1").c_str());
        ExitCode(rc, 10000);
        break;
      }
    }
  }

  TempDir tmp_;
  HttpTestServer server_;
  std::string bin_, wineRun_, game_, start_, gac_;
  std::vector<std::string> started_;
  int runs_ = 0;
};

const std::string kTitle = "《Nolk2》更新程序";

TEST_F(WineRun, WindowStartsMinimisedAndShowsItsPictureWhenRestored) {
  // The list arrives late, so the window stays up while it is looked at.
  HttpAnswer slow = HttpAnswer::Ok("");
  slow.stallMs = 12000;
  server_.SetAnswer("/patchlist.txt", slow);
  std::string first = Start(bin_ + "/nolkpatch.exe");

  int code = 0;
  std::string state = Helper("window " + Hex(kTitle) + " 30000", &code);
  ASSERT_EQ(code, 0) << "no window titled " << kTitle;
  EXPECT_EQ(state, "1 1\n") << "expected a minimised, visible window";

  std::istringstream controls(Helper("restore " + Hex(kTitle)));
  std::vector<Control> all;
  Control c;
  std::string text;
  while (controls >> c.id >> c.x >> c.y >> c.w >> c.h >> text) {
    c.text = Unhex(text);
    all.push_back(c);
  }
  ASSERT_GE(all.size(), 11u);
  const Control window = all[0];
  EXPECT_EQ(window.text, kTitle);
  ASSERT_TRUE(window.x > -1000 && window.y > -1000) << "still minimised at " << window.x << "," << window.y;

  std::string results = Env("NOLK_BIN_DIR") + "/../test-results";
  testsupport::MakeDirs(results);
  std::string shot = results + "/nolkpatch_window.png";
  ASSERT_EQ(std::system(("import -window root -display " + Quote(Env("DISPLAY")) + " " + Quote(shot)).c_str()), 0);
  Picture pic;
  ASSERT_TRUE(pic.Load(shot));

  // The stretched picture covers the whole window: sky above, the pale panel below, the picture's
  // dark hills in the bottom corner instead of the dialog's grey.
  int r, g, b;
  pic.Mean(window.x + window.w / 4, window.y + 2, window.w / 4, window.h / 30, &r, &g, &b);
  EXPECT_GT(b, r + 30) << "sky " << r << "," << g << "," << b;
  pic.Mean(window.x + window.w * 9 / 10, window.y + window.h * 88 / 100, 10, 4, &r, &g, &b);
  EXPECT_GT(r, 200);
  EXPECT_GT(g, 190);
  EXPECT_LT(b, r);
  pic.At(window.x + window.w - 2, window.y + window.h - 2, &r, &g, &b);
  EXPECT_LT(r + g + b, 300) << "corner " << r << "," << g << "," << b;

  int captions = 0;
  for (const Control& k : all) {
    if (k.id == 0) continue;
    if (k.id == 1000 || k.id == 1001) continue;  // the bars
    if (k.id == 1006 || k.id < 1000 || k.id > 1006) {
      // The three captions and "更新进度" are drawn in black on the picture.
      EXPECT_GT(pic.DarkPixels(k), 5) << "caption " << k.id << " at " << k.x << "," << k.y << " " << k.w << "x" << k.h
                                      << " " << k.text;
      ++captions;
    } else {
      EXPECT_EQ(k.text, "") << k.id;
      EXPECT_EQ(pic.DarkPixels(k), 0) << "value label " << k.id;
    }
  }
  EXPECT_EQ(captions, 4);
  for (const Control& k : all)
    if (k.id == 1006) {
      EXPECT_EQ(k.text, "更新进度");
    }

  // A press anywhere on the background drags the window as its title bar would (HTCAPTION).
  EXPECT_EQ(Helper("hittest " + Hex(kTitle)), "2\n");

  // A second start meets the running instance.
  std::string second = Start(bin_ + "/nolkpatch.exe");
  Box box = NextBox();
  EXPECT_EQ(box.caption, "nolkpatch");
  EXPECT_EQ(box.text, "更新程序已经在运行。");
  EXPECT_EQ(ExitCode(second), 3);

  // The first run goes on: the list comes, it is empty, the run ends well.
  EXPECT_EQ(ExitCode(first), 0);
}

TEST_F(WineRun, CloseWhileTheListServerStallsEndsAtOnce) {
  HttpAnswer slow = HttpAnswer::Ok(Package("p1.pak", 15));
  slow.stallMs = 30000;
  server_.SetAnswer("/patchlist.txt", slow);
  std::string run = Start(bin_ + "/nolkpatch.exe");
  ASSERT_TRUE(server_.WaitForRequests(1, 30000));
  Helper("window " + Hex(kTitle) + " 10000");
  auto asked = std::chrono::steady_clock::now();
  int code = 0;
  Helper("close " + Hex(kTitle), &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ExitCode(run), 1);
  auto ended = std::chrono::steady_clock::now();
  // The worker gave the stalled request up and stopped before it checked or reported anything;
  // the process ended long before the server would have answered (Wine's own start and end of a
  // helper process included).
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - asked).count(), 6000);
  EXPECT_TRUE(Queries().empty());
  std::string log;
  ASSERT_TRUE(ReadFile(start_ + "/nolk.log", &log));
  EXPECT_EQ(log, "命令行参数:\r\n");
}

TEST_F(WineRun, ValueLabelsStartAGroupAndCloseHidesTheWindowAtOnce) {
  HttpAnswer slow = HttpAnswer::Ok(Package("p1.pak", 15));
  slow.stallMs = 30000;
  server_.SetAnswer("/patchlist.txt", slow);
  std::string run = Start(bin_ + "/nolkpatch.exe");
  std::istringstream styles(Helper("styles " + Hex(kTitle)));
  std::map<int, unsigned long> style;
  int id;
  std::string s, ex;
  while (styles >> id >> s >> ex) style[id] = std::stoul(s, nullptr, 16);
  for (int label : {1002, 1003, 1005}) EXPECT_EQ(style[label], 0x50020000ul) << label;
  ASSERT_TRUE(server_.WaitForRequests(1, 30000));
  std::string ms = Helper("closewait " + Hex(kTitle) + " 20000");
  EXPECT_FALSE(ms.empty());
  EXPECT_LT(std::atoi(ms.c_str()), 1000) << ms;
  EXPECT_EQ(ExitCode(run), 1);
}

TEST_F(WineRun, StoppedRunShowsItsBoxesAndReports) {
  server_.SetAnswer("/patchlist.txt",
                    HttpAnswer::Ok(Package("p1.pak", 15) + Package("p2.pak", 16, false) + Package("p3.pak", 17)));
  std::string run = Start(bin_ + "/nolkpatch.exe");
  Box box = NextBox();
  EXPECT_EQ(box.caption, "提示");
  EXPECT_EQ(box.text, "验证[p2.pak]过程中发生错误, 放弃继续更新。");
  // MB_TOPMOST is asked for; Wine does not mark such boxes WS_EX_TOPMOST, so it is not checked here.
  EXPECT_EQ(ExitCode(run), 1);
  std::vector<std::string> q = Queries();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0].compare(0, 39, "/query?proj=rn4&dtype=http&avg=0&start="), 0) << q[0];
  EXPECT_NE(q[0].find("&err=finish&file=p1.pak&dlip=127.0.0.1"), std::string::npos) << q[0];
  EXPECT_NE(q[1].find("&err=cancel&file=p2.pak&dlip=127.0.0.1"), std::string::npos) << q[1];
  std::string log;
  ASSERT_TRUE(ReadFile(start_ + "/nolk.log", &log));
  EXPECT_EQ(log.compare(0, 13, "命令行参数:\r\n"), 0) << log;

  server_.SetAnswer("/patchlist.txt", HttpAnswer::Ok("2.1.15 http://127.0.0.1/package/ 0\n"));
  run = Start(bin_ + "/nolkpatch.exe");
  box = NextBox();
  EXPECT_EQ(box.caption, "nolkpatch");
  EXPECT_EQ(box.text, "url错误");
  EXPECT_EQ(ExitCode(run), 1);
}

// A package whose one record is a 512 MiB file: the window answers within 500 ms all the while it
// is decoded and written, and the record is not held in memory whole.
TEST_F(WineRun, WindowAnswersThroughoutA512MiBRecord) {
  const std::string path = gac_ + "/big.pak";
  const std::uint32_t pages = 131072;  // of 4 KiB: 512 MiB
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite("ZBNR\x0f\x00\x01\x02\0\0\0\0", 1, 12, f);
    int bzerr = BZ_OK;
    BZFILE* bz = BZ2_bzWriteOpen(&bzerr, f, 9, 0, 30);
    ASSERT_EQ(bzerr, BZ_OK);
    const std::string name = "data/big.dat";
    std::string head = "FDDA" + testsupport::Le32(0) + testsupport::Le32(static_cast<std::uint32_t>(name.size() + 1)) +
                       name + std::string(1, '\0') + testsupport::Le32(pages * 4096u);
    BZ2_bzWrite(&bzerr, bz, &head[0], static_cast<int>(head.size()));
    std::string page(4096, '\0');
    for (std::uint32_t i = 0; i < pages; ++i) {
      std::memcpy(&page[0], &i, 4);
      BZ2_bzWrite(&bzerr, bz, &page[0], 4096);
    }
    BZ2_bzWrite(&bzerr, bz, const_cast<char*>("t"), 1);
    BZ2_bzWriteClose(&bzerr, bz, 0, nullptr, nullptr);
    ASSERT_EQ(bzerr, BZ_OK);
    std::fclose(f);
  }
  server_.SetAnswer("/patchlist.txt", HttpAnswer::Ok("2.1.15 http://127.0.0.1/package/big.pak " +
                                                         testsupport::ReferenceMd5(path) + "\n"));
  std::string run = Start(bin_ + "/nolkpatch.exe");
  int code = 0;
  // From the window's first answer until the record's file is in place.
  const std::string big = game_ + "/data/big.dat";
  const std::string said = Helper("responsive " + Hex(kTitle) + " 30000 " + Quote(WinePath(big)), &code);
  std::istringstream answers(said);
  ASSERT_EQ(code, 0) << "no window titled " << kTitle;
  int asked = -1, unanswered = -1;
  long slowest = -1;
  answers >> asked >> slowest >> unanswered;
  EXPECT_EQ(ExitCode(run, 300000), 0);
  EXPECT_GT(asked, 20) << said;
  EXPECT_EQ(unanswered, 0) << said;
  EXPECT_LT(slowest, 500) << said;
  ASSERT_EQ(std::filesystem::file_size(big), static_cast<std::uintmax_t>(pages) * 4096u);
  std::FILE* f = std::fopen(big.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  for (std::uint32_t i : {0u, 1u, 77777u, pages - 1}) {
    std::uint32_t v = 0;
    std::fseek(f, static_cast<long>(i) * 4096, SEEK_SET);
    ASSERT_EQ(std::fread(&v, 4, 1, f), 1u);
    EXPECT_EQ(v, i);
  }
  std::fclose(f);
  std::remove(big.c_str());
}

TEST_F(WineRun, DebugHelpLibraryMissingOrIncomplete) {
  std::string bin = tmp_.Path() + "/bin";
  testsupport::MakeDirs(bin);
  std::string exe, partial;
  ASSERT_TRUE(ReadFile(bin_ + "/nolkpatch.exe", &exe));
  ASSERT_TRUE(ReadFile(bin_ + "/partial_dbghelp.dll", &partial));
  WriteFile(bin + "/nolkpatch.exe", exe);

  std::string run = Start(bin + "/nolkpatch.exe");
  Box box = NextBox();
  EXPECT_EQ(box.caption, "错误");
  EXPECT_EQ(box.text, "载入nolkdbghelp.dll失败");
  EXPECT_EQ(ExitCode(run), 3);
  EXPECT_FALSE(testsupport::Exists(start_ + "/nolk.log"));

  WriteFile(bin + "/nolkdbghelp.dll", partial);
  run = Start(bin + "/nolkpatch.exe");
  box = NextBox();
  EXPECT_EQ(box.caption, "错误");
  EXPECT_EQ(box.text, "载入函数失败:MiniDumpWriteDump");
  EXPECT_EQ(ExitCode(run), 3);
  EXPECT_EQ(server_.RequestCount(), 0u);
}

// A copy of the program whose string table says otherwise: the update step follows the table.
TEST_F(WineRun, UpdateTextsComeFromTheStringTable) {
  std::string bin = tmp_.Path() + "/bin";
  testsupport::MakeDirs(bin);
  std::string exe, dll;
  ASSERT_TRUE(ReadFile(bin_ + "/nolkpatch.exe", &exe));
  ASSERT_TRUE(ReadFile(bin_ + "/nolkdbghelp.dll", &dll));
  WriteFile(bin + "/nolkpatch.exe", exe);
  WriteFile(bin + "/nolkdbghelp.dll", dll);
  std::string patch = Start(bin_ + "/wine_file_lock.exe", "setstring " + Quote(WinePath(bin + "/nolkpatch.exe")) +
                                                              " 108 " + Quote(server_.Url("/default108")) +
                                                              " 109 var/gac/other.ini 110 NewKey 111 var/dl");
  ASSERT_EQ(ExitCode(patch), 0);

  // Version in the other settings file, the first list key refused, the second one missing: its
  // default is the table's 108. The package lies in the table's 111.
  std::remove((gac_ + "/update.ini").c_str());
  WriteFile(gac_ + "/other.ini", testsupport::UpdateIniText("2.1.14"));
  WriteFile(gac_ + "/Url.ini", "[Setting]\r\nNewKey=http://127.0.0.1:1/refused\r\nStatURL=" + server_.Url("/query?") +
                                   "\r\nUpdateURL2=" + server_.Url("/wrong") + "\r\n");
  testsupport::MakeDirs(game_ + "/var/dl");
  const std::string package = game_ + "/var/dl/p.pkg";
  WriteFile(package, testsupport::PackageBytes(0x0201000F, std::string(1, '\0')));
  server_.SetAnswer("/default108", HttpAnswer::Ok(std::string("2.1.15 http://127.0.0.1/package/p.pkg ") +
                                                  testsupport::ReferenceMd5(package) + "\n"));
  std::string run = Start(bin + "/nolkpatch.exe");
  EXPECT_EQ(ExitCode(run), 0);
  std::vector<std::string> targets;
  for (const auto& r : server_.Requests())
    if (r.target.compare(0, 7, "/query?") != 0) targets.push_back(r.target);
  EXPECT_EQ(targets, std::vector<std::string>{"/default108"});
  std::string log;
  ReadFile(start_ + "/nolk.log", &log);
  EXPECT_NE(log.find("/var/dl/p.pkg"), std::string::npos) << log;
}

TEST_F(WineRun, AReadOnlyPartnerCodeLeavesNoStaleCode) {
  WriteFile(gac_ + "/update.ini", testsupport::UpdateIniText("1.255.255"));
  const std::string file = gac_ + "/KirvanCode";
  WriteFile(file, "STALE");
  ASSERT_EQ(std::system(("chmod 0444 " + Quote(file)).c_str()), 0);
  // Through the helper, so the quotes reach the raw command line as a player types them.
  EXPECT_EQ(ExitCode(Start(bin_ + "/wine_file_lock.exe", "runin " + Quote(WinePath(start_)) + " " +
                                                             Quote(WinePath(bin_ + "/nolkpatch.exe")) +
                                                             " --kirvan '\"NEW\"'")),
            0);
  std::string code;
  EXPECT_TRUE(ReadFile(file, &code));
  EXPECT_EQ(code, "NEW");
  ASSERT_EQ(std::system(("chmod 0444 " + Quote(file)).c_str()), 0);
  EXPECT_EQ(ExitCode(Start(bin_ + "/nolkpatch.exe")), 0);
  EXPECT_FALSE(testsupport::Exists(file));
}

TEST_F(WineRun, AStartFolderGbkCannotNameStopsWithExitCode3) {
  // 한 (Hangul) has no GBK form: the A functions would see a question mark.
  game_ = tmp_.Path() + "/games\xED\x95\x9C/game";
  start_ = game_ + "/bin/patch";
  testsupport::MakeBareInstallation(game_, "2.1.14", server_.Url("/patchlist.txt"), server_.Url("/query?"));
  std::string run = Start(bin_ + "/nolkpatch.exe");
  Box box = NextBox();
  EXPECT_EQ(box.text.rfind("更新程序所在文件夹的路径含有简体中文系统无法表示的字符", 0), 0u) << box.text;
  EXPECT_EQ(ExitCode(run), 3);
  for (const std::string& rel : testsupport::ListTree(tmp_.Path()))
    EXPECT_EQ(rel.find("nolk.log"), std::string::npos) << rel;
  EXPECT_EQ(server_.RequestCount(), 0u);
}

TEST_F(WineRun, StartedBelowADriveRootOrAtOne) {
  std::string prefix = Env("WINEPREFIX");
  if (prefix.empty()) prefix = Env("NOLK_SOURCE_DIR") + "/build/win64/wineprefix";
  const std::string drive = tmp_.Path() + "/drive", link = prefix + "/dosdevices/n:";
  if (testsupport::Exists(link)) GTEST_SKIP() << "drive N: is taken";
  testsupport::MakeBareInstallation(drive, "1.255.255", server_.Url("/patchlist.txt"), server_.Url("/query?"));
  testsupport::MakeDirs(drive + "/A");
  ASSERT_EQ(std::system(("ln -s " + Quote(drive) + " " + Quote(link)).c_str()), 0);
  const std::string program = Quote(WinePath(bin_ + "/nolkpatch.exe"));
  // Directly below the root: the second step up fails, RootDir is N:/.
  int below = ExitCode(Start(bin_ + "/wine_file_lock.exe", "runin 'N:\\A' " + program + " --kirvan '\"BELOW\"'"));
  std::string code, log;
  ReadFile(drive + "/var/gac/KirvanCode", &code);
  ReadFile(drive + "/A/nolk.log", &log);
  // At the root itself: RootDir is N:/ too, its separator not doubled.
  int at = ExitCode(Start(bin_ + "/wine_file_lock.exe", "runin 'N:\\' " + program + " --kirvan '\"AT\"'"));
  std::string codeAt, logAt;
  ReadFile(drive + "/var/gac/KirvanCode", &codeAt);
  ReadFile(drive + "/nolk.log", &logAt);
  std::remove(link.c_str());
  EXPECT_EQ(below, 0);
  EXPECT_EQ(code, "BELOW");
  EXPECT_EQ(log, "命令行参数:--kirvan \"BELOW\"\r\n");
  EXPECT_EQ(at, 0);
  EXPECT_EQ(codeAt, "AT");
  EXPECT_EQ(logAt, "命令行参数:--kirvan \"AT\"\r\n");
}

}  // namespace
