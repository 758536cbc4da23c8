#include "update/update_list.h"

#include <cstdio>
#include <memory>

#include "net/comm_http.h"
#include "platform/ini_file.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "update/install_dirs.h"
#include "update/list_signature.h"
#include "update/name_rules.h"
#include "update/run_log.h"
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

std::unique_ptr<NetModel::CommHttp> Get(const std::string& host, const std::string& port, const std::string& path,
                                        const std::atomic<bool>* stop) {
  std::unique_ptr<NetModel::CommHttp> http(
      new NetModel::CommHttp(host, port, NetModel::TimeValue{25, 0}, NetModel::TimeValue{86, 0}));
  http->SetStopFlag(stop);
  http->Request("GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
  return http;
}

// The signature file's path beside the list's: ".minisig" goes after the file name, before a query,
// so that a server that ignores queries never answers with the list itself.
std::string SignaturePath(const std::string& listPath) {
  std::size_t query = listPath.find('?');
  if (query == std::string::npos) return listPath + ".minisig";
  return listPath.substr(0, query) + ".minisig" + listPath.substr(query);
}

// Why the list as delivered is not signed by key; empty when it is.
std::string SignatureProblem(const ListPublicKey& key, const std::string& host, const std::string& port,
                             const std::string& listPath, const std::string& list, const std::atomic<bool>* stop) {
  std::unique_ptr<NetModel::CommHttp> http = Get(host, port, SignaturePath(listPath), stop);
  std::string minisig;
  if (!http->IsOk() || !http->DecodeBody(&minisig)) return "无法获取更新列表签名, " + http->GetError();
  switch (CheckListSignature(key, list, minisig)) {
    case SignatureCheck::kValid:
      return std::string();
    case SignatureCheck::kMalformed:
      return "更新列表签名格式错误";
    case SignatureCheck::kOtherKey:
      return "更新列表签名不是用所配置的公钥签署的";
    case SignatureCheck::kMismatch:
      break;
  }
  return "更新列表签名无效";
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

  // With a public key configured, only a list signed with it is taken.
  const std::string keyText =
      platform::ReadIniString(RootDir + kUrlFile, "Setting", "ListKey", kDefaultListKey, 1024);
  ListPublicKey listKey;
  const bool signedLists = !keyText.empty();
  if (signedLists && !ParseListPublicKey(keyText, &listKey))
    FailHard("Url.ini 中的 ListKey 不是有效的更新列表公钥 (minisign 公钥文件的第二行)");
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
    std::unique_ptr<NetModel::CommHttp> http = Get(host, portText, path, stop);
    std::string error;
    // A 200 answer whose body cannot be decoded is a failed attempt, never an empty list.
    if (http->IsOk() && http->DecodeBody(&body)) {
      if (!signedLists) break;
      error = SignatureProblem(listKey, host, portText, path, body, stop);
      if (error.empty()) break;
      body.clear();  // a refused list is never parsed
      if (stop && stop->load()) return -1;
      WriteRunLog("更新列表签名校验失败 %s=%s: %s", key.c_str(), url.c_str(), error.c_str());
    } else {
      error = http->GetError();
    }
    if (stop && stop->load()) return -1;
    if (attempt == 4) FailHard("获取更新列表失败, " + error);
    char next[64];
    std::snprintf(next, sizeof next, "%s%d", kUpdateUrlKey, attempt + 1);
    key = next;
  }
  ParseUpdateList(installed, body);
  return static_cast<int>(UpdateList.size());
}
