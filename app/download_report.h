// The statistics query sent after each package check.
#pragma once
#include <cstdint>
#include <string>

// The statistics server's query URL unless Url.ini names another (key StatURL, section Setting).
const char* const kDefaultStatUrl = "http://127.0.0.1/query?";
const char* const kStatUrlKey = "StatURL";

struct DownloadReport {
  std::string prefix;  // the server's query URL, ending in "?"
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::int64_t totalBytes = 0;
  std::string clip;
  std::string dns;
  bool passed = false;
  std::string file;
};

// The average speed in KiB per second over the step's whole seconds (low 32 bits of each time).
std::int64_t ReportAverageSpeed(std::int64_t start, std::int64_t end, std::int64_t totalBytes);
// The query URL; empty when it would not fit in 1023 characters (the report is then not sent,
// rather than sent with a cut file name).
std::string BuildDownloadReportUrl(const DownloadReport& report);
