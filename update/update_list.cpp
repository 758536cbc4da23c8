#include "update/update_list.h"

#include <cstdio>
#include <memory>

#include "net/comm_http.h"
#include "update/name_rules.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "update/strings.h"

std::vector<PackageEntry> UpdateList;

namespace {

// The process's exit code when the update list could not be had.
const int kExitNoUpdateList = 2;

bool IsTokenSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

class Tokens {
 public:
  explicit Tokens(const std::string& s) : s_(s) {}
  bool More() {
    Skip();
    return pos_ < s_.size();
  }
  // The next token; empty at the end of the text.
  std::string Next() {
    Skip();
    std::size_t start = pos_;
    while (pos_ < s_.size() && !IsTokenSpace(s_[pos_])) ++pos_;
    return s_.substr(start, pos_ - start);
  }

 private:
  void Skip() {
    while (pos_ < s_.size() && IsTokenSpace(s_[pos_])) ++pos_;
  }
  const std::string& s_;
  std::size_t pos_ = 0;
};

[[noreturn]] void FailHard(const std::string& text) {
  platform::AppMessageBox(text, platform::kMbOk);
  platform::ExitProcessNow(kExitNoUpdateList);
}

}  // namespace

void ParseUpdateList(VersionCode installed, const std::string& body) {
  UpdateList.clear();
  Tokens tokens(body);
  while (tokens.More()) {
    std::string t1 = tokens.Next();
    std::string t2 = tokens.Next();
    VersionCode v = 0;
    if (ScanVersion(t1, &v)) {
      std::string t3 = tokens.Next();
      if (v > installed) UpdateList.push_back(PackageEntry{v, t2, t3});
    } else if (t1.compare(0, 2, "##") == 0 || t1.compare(0, 2, "#!") == 0) {
      tokens.Next();
    }
  }
}

std::string PackageFileName(const std::string& url) {
  std::size_t slash = url.rfind('/');
  if (slash == std::string::npos) return std::string();
  std::string name = url.substr(slash + 1);
  // No list may make the program touch a file outside DownloadDir. Scanned GBK-aware: the trail byte
  // of a character such as 0x81 0x5C is no backslash.
  if (FindPathSeparator(name) != std::string::npos || name.find(':') != std::string::npos || name == "..")
    return std::string();
  return name;
}

int FetchUpdateList(const std::atomic<bool>* stop) {
  UpdateList.clear();
  const VersionCode installed = ReadInstalledVersion();
  if (installed == 0) FailHard("检查当前版本号错误");
  if (installed == kSentinelVersion) return 0;

  std::string key = kUpdateUrlKey;
  std::string body;
  for (int attempt = 1; attempt <= 4; ++attempt) {
    if (stop && stop->load()) return -1;
    std::string url = ReadSetting(kUrlFile, key, kDefaultUpdateUrl);
    std::string host, path, portText;
    std::uint16_t port = 80;
    if (SplitUrl(url, &host, &port, &path)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%d", static_cast<int>(port));
      portText = buf;
    }
    std::unique_ptr<NetModel::CommHttp> http(
        new NetModel::CommHttp(host, portText, NetModel::TimeValue{25, 0}, NetModel::TimeValue{86, 0}));
    http->SetStopFlag(stop);
    http->Request("GET " + path + " HTTP/1.1\r\nHost: " + host +
                  "\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
    // A 200 answer whose body cannot be decoded is a failed attempt, never an empty list.
    if (http->IsOk() && http->DecodeBody(&body)) break;
    if (stop && stop->load()) return -1;
    if (attempt == 4) FailHard("获取更新列表失败, " + http->GetError());
    char next[64];
    std::snprintf(next, sizeof next, "%s%d", kUpdateUrlKey, attempt + 1);
    key = next;
  }
  ParseUpdateList(installed, body);
  return static_cast<int>(UpdateList.size());
}
