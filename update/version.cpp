#include "update/version.h"

#include <cstdio>

#include "platform/ini_file.h"
#include "platform/message_box.h"
#include "update/install_dirs.h"
#include "update/strings.h"

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One "%d" conversion: blanks, an optional sign, at least one digit. Wraps like a 32-bit int.
bool ScanInt(const std::string& s, std::size_t* pos, std::uint32_t* value) {
  std::size_t i = *pos;
  while (i < s.size() && IsSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::size_t start = i;
  std::uint32_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') v = v * 10u + static_cast<std::uint32_t>(s[i++] - '0');
  if (i == start) return false;
  *value = negative ? 0u - v : v;
  *pos = i;
  return true;
}

}  // namespace

bool ScanVersion(const std::string& text, VersionCode* code) {
  std::uint32_t part[3];
  std::size_t pos = 0;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    if (!ScanInt(text, &pos, &part[k])) return false;
  }
  *code = MakeVersionCode(part[0], part[1], part[2]);
  return true;
}

VersionCode ParseVersionCode(const std::string& text) {
  VersionCode code = 0;
  return ScanVersion(text, &code) ? code : 0;
}

std::string VersionText(VersionCode code) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u", code >> 24, (code >> 16) & 0xFFu, code & 0xFFFFu);
  return buf;
}

std::string ReadSetting(const std::string& file, const std::string& key, const std::string& def) {
  const std::string path = RootDir + (file.empty() ? std::string(kSettingsFile) : file);
  std::string value = platform::ReadIniString(path, "Setting", key, def, 1024);
  if (value == "0.0.0") {
    platform::ShowMessageBox(nullptr, "读取ini错误：strName=" + key + ", strFileName=" + path, "错误", platform::kMbOk);
  }
  return value;
}

VersionCode ReadInstalledVersion() { return ParseVersionCode(ReadSetting("", "Version", "0.0.0")); }

bool SplitUrl(const std::string& url, std::string* host, std::uint16_t* port, std::string* path) {
  host->clear();
  path->clear();
  *port = 80;
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  // "%1023[^/]%2047s"
  std::size_t i = scheme.size();
  std::size_t start = i;
  while (i < url.size() && url[i] != '/' && i - start < 1023) ++i;
  std::string h = url.substr(start, i - start);
  if (h.empty()) return false;
  while (i < url.size() && IsSpace(url[i])) ++i;
  start = i;
  while (i < url.size() && !IsSpace(url[i]) && i - start < 2047) ++i;
  std::string p = url.substr(start, i - start);
  if (p.empty()) return false;
  // "%1023[^:]:%d"
  std::size_t colon = h.find(':');
  if (colon != std::string::npos && colon > 0) {
    std::size_t pos = colon + 1;
    std::uint32_t number;
    if (ScanInt(h, &pos, &number)) {
      h.resize(colon);
      *port = static_cast<std::uint16_t>(number);
    }
  }
  *host = h;
  *path = p;
  return true;
}
