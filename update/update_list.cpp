#include "update/update_list.h"

#include <cstdio>
#include <memory>

#include "net/comm_http.h"
#include "platform/durable.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/stdio_file.h"
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

// The list's request; the signature's goes the same way, with a smaller limit on its answer.
std::unique_ptr<NetModel::CommHttp> Get(const std::string& host, const std::string& port, const std::string& path,
                                        NetModel::TimeValue connectLimit, NetModel::TimeValue receiveLimit,
                                        const std::atomic<bool>* stop,
                                        std::size_t maxResponse = NetModel::kMaxResponseBytes) {
  std::unique_ptr<NetModel::CommHttp> http(new NetModel::CommHttp(host, port, connectLimit, receiveLimit));
  http->SetStopFlag(stop);
  http->SetMaxResponseBytes(maxResponse);
  http->Request("GET " + path + " HTTP/1.1\r\nHost: " + host +
                "\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
  return http;
}

// The signature file's path beside the list's: ".minisig" goes after the file name, before a query,
// so that a server that ignores queries never answers with the list itself.
std::string SignaturePath(const std::string& listPath) {
  std::size_t query = listPath.find('?');
  if (query == std::string::npos) return listPath + ".minisig";
  return listPath.substr(0, query) + ".minisig" + listPath.substr(query);
}

// The name the list is published under: the last segment of its path, before a query. The signature
// must name it: a list signed for another URL (a beta list) is not this one.
std::string ListFileName(const std::string& listPath) {
  const std::string plain = listPath.substr(0, listPath.find('?'));
  return plain.substr(plain.rfind('/') + 1);
}

std::string SignatureReason(SignatureCheck check) {
  switch (check) {
    case SignatureCheck::kValid:
      return std::string();
    case SignatureCheck::kMalformed:
      return "更新列表签名格式错误";
    case SignatureCheck::kTooLarge:
      return "更新列表签名文件过大";
    case SignatureCheck::kOtherKey:
      return "更新列表签名不是用所配置的公钥签署的";
    case SignatureCheck::kMismatch:
      break;
    case SignatureCheck::kLegacy:
      return "更新列表签名是未获允许的旧格式签名 (minisign -l)";
    case SignatureCheck::kUntimed:
      return "更新列表签名的可信注释中没有时间戳和文件名";
    case SignatureCheck::kOtherFile:
      return "更新列表签名是为另一个文件签署的";
    case SignatureCheck::kOlder:
      return "更新列表签名早于已接受过的更新列表";
  }
  return "更新列表签名无效";
}

// The record of the newest signature time accepted, beside Url.ini.
const char kAcceptedTimeFile[] = "var/gac/ListTimestamp";

// 0 when there is no record. A damaged one counts as none: only whoever can write var/gac can damage
// it, and they could as well remove it; refusing every list instead would stop the installation for
// good. The next list taken writes it afresh.
std::uint64_t ReadAcceptedTime() {
  std::FILE* f = platform::OpenStdFile(RootDir + kAcceptedTimeFile, "rb");
  if (!f) return 0;
  char buf[32];
  const std::size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  std::string text(buf, n);
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoull(text);
}

// Written aside, flushed and renamed into place, then the folder flushed: a power cut leaves the old
// record or the new one, never a torn one.
bool WriteAcceptedTime(std::uint64_t seconds) {
  const std::string path = RootDir + kAcceptedTimeFile, temp = path + ".new";
  const std::string text = std::to_string(static_cast<unsigned long long>(seconds)) + "\r\n";
  try {
    platform::CFile file;
    if (!file.Open(temp, platform::CFile::modeCreate | platform::CFile::modeWrite | platform::CFile::shareExclusive))
      return false;
    file.Write(text.data(), static_cast<std::uint32_t>(text.size()));
    file.Flush();
    file.Close();
    if (!platform::ReplaceFileWith(temp, path)) {
      platform::DeleteFile(temp);
      return false;
    }
    platform::FlushFolder(path.substr(0, path.rfind('/')));
  } catch (const platform::CFileException&) {
    platform::DeleteFile(temp);
    return false;
  }
  return true;
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

ListAttempt FetchListAt(const std::string& url, const ListKeySetting* key, std::uint64_t notBefore,
                        NetModel::TimeValue connectLimit, NetModel::TimeValue receiveLimit,
                        const std::atomic<bool>* stop) {
  ListAttempt attempt;
  std::string host, path, portText;
  std::uint16_t port = 80;
  if (SplitUrl(url, &host, &port, &path)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(port));
    portText = buf;
  }
  std::unique_ptr<NetModel::CommHttp> http = Get(host, portText, path, connectLimit, receiveLimit, stop);
  // A 200 answer whose body cannot be decoded is a failed attempt, never an empty list.
  if (!http->IsOk() || !http->DecodeBody(&attempt.body)) {
    attempt.body.clear();
    attempt.error = http->GetError();
    return attempt;
  }
  if (!key) return attempt;

  // The signature's request spends what the list's left of its time: the pair costs no more than
  // the list did before lists were signed. Headers are given room beside the signature file.
  std::unique_ptr<NetModel::CommHttp> sig = Get(host, portText, SignaturePath(path), http->RemainingBudget(),
                                                NetModel::TimeValue{0, 0}, stop, kMaxSignatureFileBytes + 8192);
  http.reset();
  std::string minisig;
  attempt.signatureFailed = true;
  if (!sig->IsOk() || !sig->DecodeBody(&minisig)) {
    attempt.error = sig->GetResponse().size() > kMaxSignatureFileBytes ? SignatureReason(SignatureCheck::kTooLarge)
                                                                       : "无法获取更新列表签名, " + sig->GetError();
  } else {
    attempt.error =
        SignatureReason(CheckSignedList(*key, attempt.body, minisig, ListFileName(path), notBefore, &attempt.signedAt));
  }
  if (attempt.error.empty()) {
    attempt.signatureFailed = false;
  } else {
    attempt.body.clear();  // a refused list is never parsed
    attempt.signedAt = 0;
  }
  return attempt;
}

int FetchUpdateList(const std::atomic<bool>* stop) {
  UpdateList.clear();
  const VersionCode installed = ReadInstalledVersion();
  if (installed == 0) FailHard("检查当前版本号错误");

  // With a public key, only a list signed with it is taken. A key the program carries is the only
  // one: Url.ini, which whoever can place packages can write, cannot switch the check off, replace
  // the key, or weaken it with the words of its own ListKey.
  const bool embedded = kDefaultListKey[0] != '\0';
  const std::string keyText = embedded ? std::string(kDefaultListKey)
                                       : platform::ReadIniString(RootDir + kUrlFile, "Setting", "ListKey", "", 1024);
  ListKeySetting listKey;
  const bool signedLists = !keyText.empty();
  if (signedLists && !ParseListKeySetting(keyText, &listKey))
    FailHard(embedded ? "程序内置的更新列表公钥无效"
                      : "Url.ini 中的 ListKey 不是有效的更新列表公钥 (minisign 公钥文件的第二行)");
  if (installed == kSentinelVersion) return 0;
  const std::uint64_t accepted = signedLists ? ReadAcceptedTime() : 0;

  std::string key = kUpdateUrlKey;
  std::string body;
  std::uint64_t signedAt = 0;
  for (int attempt = 1; attempt <= 4; ++attempt) {
    if (stop && stop->load()) return -1;
    std::string url = ReadSetting(kUrlFile, key, kDefaultUpdateUrl);
    ListAttempt got = FetchListAt(url, signedLists ? &listKey : nullptr, accepted, NetModel::TimeValue{25, 0},
                                  NetModel::TimeValue{86, 0}, stop);
    if (stop && stop->load()) return -1;
    if (got.error.empty()) {
      body.swap(got.body);
      signedAt = got.signedAt;
      break;
    }
    if (got.signatureFailed) WriteRunLog("更新列表签名校验失败 %s=%s: %s", key.c_str(), url.c_str(), got.error.c_str());
    if (attempt == 4) FailHard("获取更新列表失败, " + got.error);
    char next[64];
    std::snprintf(next, sizeof next, "%s%d", kUpdateUrlKey, attempt + 1);
    key = next;
  }
  // Recorded before the list is used, so that no later run takes an older one. A record that cannot
  // be written costs only that protection, not this run.
  if (signedAt > accepted && !WriteAcceptedTime(signedAt))
    WriteRunLog("无法记录更新列表签名时间 %s%s", RootDir.c_str(), kAcceptedTimeFile);
  ParseUpdateList(installed, body);
  return static_cast<int>(UpdateList.size());
}
