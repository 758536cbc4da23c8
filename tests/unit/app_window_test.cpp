// The main window's handlers, driven by posted messages: the real dialog on Windows, the terminal
// window elsewhere. Also the statistics query, the partner-code rules and the string table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "app/download_report.h"
#include "app/nolkpatch_dlg.h"
#include "app/partner_code.h"
#include "app/resource.h"
#include "app/update_worker.h"
#include "app/window_messages.h"
#include "engine/src/lumcommon/lum_new_delete.h"
#include "platform/message_box.h"

namespace {

using LumCommon::LumNewDelete;

unsigned IdleWorker(void*) { return 0; }

std::intptr_t Text(const std::string& s) { return reinterpret_cast<std::intptr_t>(NewTextPayload(s)); }

// A window created without its modal loop; the test dispatches its messages.
class WindowHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dlg_.Create());
    dlg_.PumpMessages();
    records_ = LumNewDelete::Instance().RecordCount();
  }
  void TearDown() override {
    dlg_.DestroyWindow();
    // Every payload was freed, used or not.
    EXPECT_EQ(LumNewDelete::Instance().RecordCount(), records_);
  }
  void Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    ASSERT_TRUE(dlg_.PostMessage(message, wParam, lParam));
    dlg_.PumpMessages();
  }
  void Progress(double percent, const char* text) {
    Post(WM_UPDATE_PROGRESS, reinterpret_cast<std::uintptr_t>(NewPercentPayload(percent)), text ? Text(text) : 0);
  }

  std::size_t records_ = 0;
  CnolkpatchDlg dlg_{IdleWorker};
};

TEST_F(WindowHandlers, StartsMinimisedWithTitleAndEmptyLabels) {
  EXPECT_TRUE(dlg_.IsIconic());
  EXPECT_EQ(dlg_.GetWindowText(), "《Nolk2》更新程序");
  EXPECT_EQ(dlg_.progressCaption.GetWindowText(), "更新进度");
  EXPECT_EQ(dlg_.versionLabel.GetWindowText(), "");
  EXPECT_EQ(dlg_.sizeLabel.GetWindowText(), "");
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "");
  EXPECT_EQ(dlg_.downloadedLabel.GetWindowText(), "");
}

TEST_F(WindowHandlers, TextGoesToStatusOrPackageLabelOrNowhere) {
  Post(WM_UPDATE_TEXT, 0, Text("开始验证 a.pak"));
  Post(WM_UPDATE_TEXT, 1, Text("a.pak"));
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "开始验证 a.pak");
  EXPECT_EQ(dlg_.versionLabel.GetWindowText(), "a.pak");
  Post(WM_UPDATE_TEXT, 2, Text("elsewhere"));
  Post(WM_UPDATE_TEXT, 0, 0);
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "开始验证 a.pak");
  EXPECT_EQ(dlg_.versionLabel.GetWindowText(), "a.pak");
  EXPECT_EQ(dlg_.sizeLabel.GetWindowText(), "");
  EXPECT_EQ(dlg_.downloadedLabel.GetWindowText(), "");
  // The second of two status texts replaces the first.
  Post(WM_UPDATE_TEXT, 0, Text("x"));
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "x");
}

TEST_F(WindowHandlers, SizeAndProgress) {
  Post(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(NewBytesPayload(5000000000LL)));
  EXPECT_EQ(dlg_.sizeLabel.GetWindowText(), "5000000000 byte");
  EXPECT_EQ(dlg_.totalUpdateBytes, 5000000000LL);
  Post(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(NewBytesPayload(-12)));
  EXPECT_EQ(dlg_.sizeLabel.GetWindowText(), "-12 byte");
  Post(WM_UPDATE_SIZE, 0, 0);
  EXPECT_EQ(dlg_.totalUpdateBytes, -12);

  Post(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(NewBytesPayload(1000)));
  Progress(50.9, "下载中");
  EXPECT_EQ(dlg_.downloadProgress.GetPos(), 50);
  EXPECT_EQ(dlg_.downloadedLabel.GetWindowText(), "509");
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "下载中");
  // No percent reads as 0, and an amount of 0 empties the label.
  Post(WM_UPDATE_PROGRESS, 0, 0);
  EXPECT_EQ(dlg_.downloadProgress.GetPos(), 0);
  EXPECT_EQ(dlg_.downloadedLabel.GetWindowText(), "");
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "下载中");

  Post(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(NewBytesPayload(0)));
  Progress(75.0, nullptr);
  EXPECT_EQ(dlg_.downloadProgress.GetPos(), 75);
  EXPECT_EQ(dlg_.downloadedLabel.GetWindowText(), "");
  // Percents far outside the bar's range stay defined.
  Post(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(NewBytesPayload(1000)));
  Progress(1e300, nullptr);
  EXPECT_EQ(dlg_.downloadedLabel.GetWindowText(), "9223372036854775807");
}

TEST_F(WindowHandlers, StatusAndProgressChangeNothingOnceTheApplyPhaseStarted) {
  Post(WM_UPDATE_STATUS, 0, Text("before"));
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "before");
  Post(WM_UPDATE_STATUS, 0, 0);
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "before");
  Post(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(NewBytesPayload(1000)));
  Progress(20.0, nullptr);
  dlg_.ApplyStarted = true;
  Progress(90.0, "late");
  Post(WM_UPDATE_STATUS, 0, Text("late"));
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "before");
  EXPECT_EQ(dlg_.downloadProgress.GetPos(), 20);
  EXPECT_EQ(dlg_.downloadedLabel.GetWindowText(), "200");
}

TEST_F(WindowHandlers, ApplyStatusGoesToTheStatusLineAndStandardOutput) {
  testing::internal::CaptureStdout();
  dlg_.ShowApplyStatus("解压 data/a.txt");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Now Status:解压 data/a.txt\n");
  EXPECT_EQ(dlg_.statusLabel.GetWindowText(), "解压 data/a.txt");
}

TEST_F(WindowHandlers, TextsPostedToAGoneWindowAreFreedBySender) {
  dlg_.DestroyWindow();
  PostStatusText(&dlg_, "gone");
  PostPackageLabel(&dlg_, "gone");
}

// Modal runs whose workers end the run themselves.
struct Script {
  unsigned code;
  bool postAfterEnd;
  std::atomic<bool> sawCancel{false};
  CnolkpatchDlg* dlg = nullptr;
};
Script* g_script = nullptr;

unsigned ScriptedWorker(void* arg) {
  CnolkpatchDlg* dlg = static_cast<CnolkpatchDlg*>(arg);
  PostPackageLabel(dlg, "p.pak");
  // Reads are served in order, after the label posted before.
  EXPECT_EQ(dlg->versionLabel.GetWindowText(), "p.pak");
  dlg->PostMessage(WM_UPDATE_END, 0, 0);
  // Payloads that arrive behind the end are never handled and still freed.
  if (g_script->postAfterEnd) PostStatusText(dlg, "never shown");
  return g_script->code;
}

TEST(WindowRun, EndResultFollowsTheWorkersExitCode) {
  std::size_t records = LumNewDelete::Instance().RecordCount();
  for (unsigned code : {0u, 1u}) {
    CancelRequested = false;
    Script s{code, true};
    g_script = &s;
    CnolkpatchDlg dlg(ScriptedWorker);
    EXPECT_EQ(dlg.DoModal(), code == 0 ? IDOK : IDCANCEL);
    EXPECT_EQ(dlg.RunSucceeded(), code == 0);
    EXPECT_TRUE(CancelRequested);
  }
  EXPECT_EQ(LumNewDelete::Instance().RecordCount(), records);
}

// The worker checks a package until it is told to stop.
unsigned StubbornWorker(void* arg) {
  CnolkpatchDlg* dlg = static_cast<CnolkpatchDlg*>(arg);
  PostPackageLabel(dlg, "slow.pak");
  // Asks the window to close, as a user would, then goes on checking.
  dlg->PostMessage(kWmClose, 0, 0);
  for (int i = 0; i < 2000 && !CancelRequested; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!CancelRequested) return 7;
  // A report after the check still reads the label while the window waits.
  g_script->sawCancel = dlg->versionLabel.GetWindowText() == "slow.pak";
  PostStatusText(dlg, "取消中...");
  return 1;
}

TEST(WindowRun, CloseWhileTheWorkerRunsStopsAndWaitsForIt) {
  std::size_t records = LumNewDelete::Instance().RecordCount();
  CancelRequested = false;
  Script s{1, false};
  g_script = &s;
  CnolkpatchDlg dlg(StubbornWorker);
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  unsigned code = 0;
  ASSERT_TRUE(dlg.WorkerExitCode(&code));
  EXPECT_EQ(code, 1u);
  EXPECT_TRUE(s.sawCancel);
  EXPECT_FALSE(dlg.RunSucceeded());
  EXPECT_EQ(LumNewDelete::Instance().RecordCount(), records);
  CancelRequested = false;
}

TEST(DownloadReportQuery, KeysOrderAndValues) {
  DownloadReport r;
  r.prefix = "http://127.0.0.1:8080/query?";
  r.start = 1700000000;
  r.end = 1700000004;
  r.totalBytes = 10485760;
  r.clip = "127.0.0.1";
  r.dns = "";
  r.passed = true;
  r.file = "更新 包.pak";
  EXPECT_EQ(BuildDownloadReportUrl(r),
            "http://127.0.0.1:8080/query?proj=rn4&dtype=http&avg=2560&start=1700000000&end=1700000004"
            "&clip=127.0.0.1&dns=&err=finish&file=更新 包.pak&dlip=127.0.0.1");
  r.passed = false;
  r.dns = "127.0.0.53";
  EXPECT_NE(BuildDownloadReportUrl(r).find("&dns=127.0.0.53&err=cancel&"), std::string::npos);
  // A query that would not fit is not sent at all.
  r.file = std::string(1000, 'f');
  EXPECT_EQ(BuildDownloadReportUrl(r), "");
}

TEST(DownloadReportQuery, AverageSpeed) {
  EXPECT_EQ(ReportAverageSpeed(100, 104, 10485760), 2560);
  EXPECT_EQ(ReportAverageSpeed(100, 100, 10485760), 0);  // under a second
  EXPECT_EQ(ReportAverageSpeed(100, 160, 0), 0);         // size never set
  EXPECT_EQ(ReportAverageSpeed(104, 100, 10485760), 0);  // clock went back
  // Only the low 32 bits of each time count.
  EXPECT_EQ(ReportAverageSpeed(0xFFFFFFFFLL, 0x100000001LL, 2048), 1);
}

TEST(PartnerCode, RawCommandLineRule) {
  std::string code;
  EXPECT_FALSE(PartnerCodeFromRawCommandLine("plain \"x\"", &code));
  EXPECT_FALSE(PartnerCodeFromRawCommandLine("--kirvan CODE", &code));
  ASSERT_TRUE(PartnerCodeFromRawCommandLine("--kirvan \"AB12\"", &code));
  EXPECT_EQ(code, "AB12");
  ASSERT_TRUE(PartnerCodeFromRawCommandLine("--kirvan \"AB12", &code));
  EXPECT_EQ(code, "AB12");
  ASSERT_TRUE(PartnerCodeFromRawCommandLine("\"a\" --kirvanx \"b\"", &code));
  EXPECT_EQ(code, "a\" --kirvanx \"b");
}

TEST(PartnerCode, ArgumentRule) {
  std::string code;
  ASSERT_TRUE(PartnerCodeFromArguments({"x", "--kirvan", "C 1"}, &code));
  EXPECT_EQ(code, "C 1");
  EXPECT_FALSE(PartnerCodeFromArguments({"--kirvan"}, &code));
  EXPECT_FALSE(PartnerCodeFromArguments({"a", "b"}, &code));
  ASSERT_TRUE(PartnerCodeFromArguments({"--kirvan", "\"Q\"", "z"}, &code));
  EXPECT_EQ(code, "Q");
}

TEST(StringTable, ProgramTextsMatchTheBuiltInTable) {
  for (unsigned id : {103u, 104u, 105u, 106u, 108u, 109u, 110u, 111u}) {
    EXPECT_NE(std::string(BuiltInAppString(id)), "") << id;
    EXPECT_EQ(LoadAppString(id), BuiltInAppString(id)) << id;
  }
  EXPECT_EQ(LoadAppString(105), "《Nolk2》更新程序");
  EXPECT_EQ(LoadAppString(112), "");  // no list key in the shipped program: lists unsigned
}

}  // namespace
