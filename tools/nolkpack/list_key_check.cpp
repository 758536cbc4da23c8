#include "tools/nolkpack/list_key_check.h"

#include <algorithm>
#include <cstdio>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "platform/codepage.h"
#include "platform/stdio_file.h"
#include "update/list_signature.h"
#include "update/update_list.h"

namespace nolkpack {
namespace {

bool ReadWhole(const std::string& gbkPath, std::string* bytes) {
  std::FILE* f = platform::OpenStdFile(gbkPath, "rb");
  if (!f) return false;
  bytes->clear();
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->append(buf, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

bool ReadListKeyArgument(const std::string& keyArg, std::string* base64Line, std::string* error) {
  std::string text;
  if (ReadWhole(keyArg, &text)) {
    // minisign.pub: a comment line, then the key; or the key line alone.
    std::size_t eol = text.find('\n');
    if (text.compare(0, 18, "untrusted comment:") == 0 && eol != std::string::npos) text = text.substr(eol + 1);
    eol = text.find('\n');
    if (eol != std::string::npos && text.find_first_not_of(" \t\r\n", eol) == std::string::npos) text.resize(eol);
  } else {
    text = keyArg;
  }
  ListKeySetting key;
  if (!ParseListKeySetting(text, &key)) {
    *error = "--key " + platform::HostPath(keyArg) +
             ": not a minisign public key (the file minisign.pub, or its second line, as ListKey holds it: "
             "optionally followed by legacy and untimed)";
    return false;
  }
  *base64Line = text;
  return true;
}

void CheckListSignatureFile(const std::string& listPath, const std::string& keySetting,
                            std::vector<std::string>* problems) {
  const std::string& shown = listPath;
  std::string list;
  if (!ReadWhole(listPath, &list)) {
    problems->push_back("cannot read the list " + platform::HostPath(shown));
    return;
  }
  ListKeySetting key;
  ParseListKeySetting(keySetting, &key);
  std::string minisig;
  if (!ReadWhole(listPath + ".minisig", &minisig)) {
    problems->push_back(shown + ".minisig: no signature (sign the list: minisign -S -s minisign.key -m " + shown + ")");
    return;
  }
  // As a client judges it, fetched under the list's own name, with no list accepted before.
  std::uint64_t signedAt = 0;
  const std::string name = BaseName(listPath);
  switch (CheckSignedList(key, list, minisig, name, 0, &signedAt)) {
    case SignatureCheck::kValid:
    case SignatureCheck::kOlder:
      break;
    case SignatureCheck::kMalformed:
      problems->push_back(shown + ".minisig: not a minisign signature file");
      break;
    case SignatureCheck::kTooLarge:
      problems->push_back(shown + ".minisig: larger than any minisign signature file (" +
                          std::to_string(kMaxSignatureFileBytes) + " bytes at most)");
      break;
    case SignatureCheck::kOtherKey:
      problems->push_back(shown + ".minisig: signed with another key than --key");
      break;
    case SignatureCheck::kMismatch:
      problems->push_back(shown + ".minisig: does not match the list (changed since it was signed?)");
      break;
    case SignatureCheck::kLegacy:
      problems->push_back(shown +
                          ".minisig: a legacy signature (minisign -l), which clients take only when their key "
                          "says legacy: sign the list again without -l");
      break;
    case SignatureCheck::kUntimed:
      problems->push_back(shown +
                          ".minisig: its trusted comment has no timestamp and file name, which clients take "
                          "only when their key says untimed: sign the list again without -t");
      break;
    case SignatureCheck::kOtherFile:
      problems->push_back(shown + ".minisig: signed as another file than " + name +
                          ": clients refuse it at a URL ending in " + name + "; sign the list under that name");
      break;
  }
}

bool VerifyListFile(const std::string& listPath, const std::string& base64Key, const std::vector<std::string>& packages,
                    std::vector<std::string>* problems, std::string* error) {
  const std::string& shown = listPath;
  std::string list;
  if (!ReadWhole(listPath, &list)) {
    *error = "cannot read the list " + platform::HostPath(shown);
    return false;
  }
  if (!base64Key.empty()) CheckListSignatureFile(listPath, base64Key, problems);

  ParseUpdateList(0, list);
  const std::vector<PackageEntry> entries = UpdateList;
  UpdateList.clear();
  if (entries.empty()) problems->push_back(shown + ": no package lines");
  VersionCode previous = 0;
  for (const PackageEntry& e : entries) {
    const std::string name = PackageFileName(e.url);
    const std::string line = VersionText(e.version) + " " + e.url;
    // Clients apply the list in its order: a version listed again or out of order stops them all.
    if (e.version <= previous)
      problems->push_back(line +
                          (e.version == previous ? " is listed again" : " comes after " + VersionText(previous)) +
                          ": clients apply the list in its order, so every version once, rising");
    previous = std::max(previous, e.version);
    if (name.empty()) {
      problems->push_back(line + ": no file name a client could use");
      continue;
    }
    std::string path = Folder(listPath) + "/" + name;
    for (const std::string& p : packages)
      if (BaseName(p) == name) path = p;
    std::FILE* f = platform::OpenStdFile(path, "rb");
    if (!f) {
      problems->push_back(line + ": no " + name + " among the packages or beside the list");
      continue;
    }
    std::fclose(f);
    const std::string md5 = GetFileMD5(path, LumCommon::CMD5::kDefaultChunk);
    if (md5 != e.md5 && LowerCase(e.md5) == md5)
      problems->push_back(line + ": the MD5 " + e.md5 + " must be lower case: clients compare it exactly with " + md5);
    else if (md5 != e.md5)
      problems->push_back(line + ": " + path + " has MD5 " + md5 + ", the list says " + e.md5);
  }
  return true;
}

}  // namespace nolkpack

namespace nolkpack {
namespace {

// Arguments arrive in the host's encoding; the library takes GBK.
std::string GbkArg(const std::string& a) {
#ifdef _WIN32
  return a;
#else
  return platform::Utf8ToGbk(a);
#endif
}

}  // namespace

int VerifyListCommand(const std::string& listArg, const std::string& keyArg,
                      const std::vector<std::string>& packageArgs) {
  if (listArg.empty()) {
    std::fprintf(stderr, "nolkpack: --key needs --list FILE\n");
    return 2;
  }
  std::string key, error;
  if (!keyArg.empty() && !ReadListKeyArgument(GbkArg(keyArg), &key, &error)) {
    std::fprintf(stderr, "nolkpack: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::string> packages;
  for (const std::string& p : packageArgs) packages.push_back(GbkArg(p));
  std::vector<std::string> problems;
  if (!VerifyListFile(GbkArg(listArg), key, packages, &problems, &error)) {
    std::fprintf(stderr, "nolkpack: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& p : problems) std::printf("%s\n", platform::HostPath(p).c_str());
  if (!problems.empty()) {
    std::fprintf(stderr, "nolkpack: verify: %d problem%s\n", static_cast<int>(problems.size()),
                 problems.size() == 1 ? "" : "s");
    return 1;
  }
  std::printf("verify: %s%s, its versions rise and its packages match\n", listArg.c_str(),
              key.empty() ? "" : " is signed with the key");
  return 0;
}

}  // namespace nolkpack
