#include "app/download_report.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "app/nolkpatch_dlg.h"
#include "app/update_worker.h"
#include "platform/internet_get.h"
#include "platform/message_box.h"
#include "platform/network_info.h"
#include "update/strings.h"
#include "update/version.h"

std::int64_t ReportAverageSpeed(std::int64_t start, std::int64_t end, std::int64_t totalBytes) {
  std::int32_t seconds = static_cast<std::int32_t>(static_cast<std::uint32_t>(end) - static_cast<std::uint32_t>(start));
  if (seconds <= 0) return 0;
  return (totalBytes / 1024) / seconds;
}

std::string BuildDownloadReportUrl(const DownloadReport& r) {
  char buf[1024] = {0};
  int n = std::snprintf(buf, sizeof buf,
                        "%sproj=rn4&dtype=%s&avg=%" PRId64 "&start=%" PRId64 "&end=%" PRId64
                        "&clip=%s&dns=%s&err=%s&file=%s&dlip=%s",
                        r.prefix.c_str(), "http", ReportAverageSpeed(r.start, r.end, r.totalBytes), r.start, r.end,
                        r.clip.c_str(), r.dns.c_str(), r.passed ? "finish" : "cancel", r.file.c_str(), "127.0.0.1");
  if (n < 0 || n >= static_cast<int>(sizeof buf)) return std::string();
  return std::string(buf, static_cast<std::size_t>(n));
}

void CnolkpatchDlg::NotePackageStart() { packageStartTime = static_cast<std::int64_t>(std::time(nullptr)); }

void CnolkpatchDlg::NotePackageEnd() { packageEndTime = static_cast<std::int64_t>(std::time(nullptr)); }

void CnolkpatchDlg::SendDownloadReport(bool passed) {
  DownloadReport r;
  r.start = packageStartTime;
  r.end = packageEndTime;
  r.totalBytes = totalUpdateBytes;
  r.clip = platform::LocalHostAddress();
  if (r.clip.empty()) r.clip = "127.0.0.1";
  r.file = versionLabel.GetWindowText();
  if (r.file.empty()) return;
  r.passed = passed;
  r.dns = platform::FirstDnsServer();
  r.prefix = ReadSetting(kUrlFile, kStatUrlKey, kDefaultStatUrl);
  std::string url = BuildDownloadReportUrl(r);
  if (url.empty()) return;
  // The answer is not read and a failure changes nothing.
  platform::InternetGetAndDiscard(url, platform::AppName(), &CancelRequested);
}
