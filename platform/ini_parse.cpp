#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/codepage.h"
#include "platform/ini_file.h"

namespace platform {
namespace {

// Windows also treats Ctrl-Z (the old end-of-file mark) as a blank here.
bool IsBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1a; }

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && IsBlank(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Compares names as Windows does for the ANSI code page: ASCII letters without case, the two bytes of
// a GBK character exactly (a trail byte may look like an ASCII letter).
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 0x81 && x <= 0xFE && i + 1 < a.size()) {
      if (x != y || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Copies into a buffer of bufferSize bytes, dropping a pair of matching enclosing quotes.
std::string CopyEntry(const std::string& value, std::size_t bufferSize) {
  if (bufferSize == 0) return std::string();
  std::string v = value;
  bool quoted = v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0];
  if (quoted) v = v.substr(1, v.size() - 2);
  if (v.size() > bufferSize - 1) v.resize(bufferSize - 1);
  return v;
}

void AppendUtf8(std::uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A UTF-16 text after its byte-order mark, as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::string& bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](std::size_t i) {
    unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? static_cast<std::uint32_t>(a << 8 | b) : static_cast<std::uint32_t>(b << 8 | a);
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

}  // namespace

std::string ParseIniString(const std::string& contents, const std::string& section, const std::string& key,
                           const std::string& def, std::size_t bufferSize) {
  std::string defValue = def;
  while (!defValue.empty() && defValue.back() == ' ') defValue.pop_back();

  std::string text = contents;
  // Byte-order marks as the system's profile functions honour them: UTF-8 and UTF-16 either way.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text = Utf8ToGbk(text.substr(3));
  else if (text.compare(0, 2, "\xFF\xFE") == 0)
    text = Utf8ToGbk(Utf16ToUtf8(text.substr(2), false));
  else if (text.compare(0, 2, "\xFE\xFF") == 0)
    text = Utf8ToGbk(Utf16ToUtf8(text.substr(2), true));

  const std::string wantSection = Trim(section);
  const std::string wantKey = Trim(key);
  if (wantKey.empty()) return CopyEntry(defValue, bufferSize);

  // Lines end at "\n"; a file without any uses "\r".
  const char sep = text.find('\n') != std::string::npos ? '\n' : '\r';
  bool inSection = false;
  bool seenSection = false;  // only the first section of a name counts
  std::string current;       // lines before any header belong to the nameless section
  inSection = wantSection.empty();
  seenSection = inSection;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find(sep, pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    if (line[0] == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string::npos) {
        if (inSection) return CopyEntry(defValue, bufferSize);
        std::string name = Trim(line.substr(1, close - 1));
        if (!seenSection && SameName(name, wantSection)) {
          inSection = true;
          seenSection = true;
        }
        continue;
      }
    }
    if (!inSection) continue;
    std::size_t eq = line.find('=');
    std::string name = Trim(eq == std::string::npos ? line : line.substr(0, eq));
    if (!SameName(name, wantKey)) continue;
    if (eq == std::string::npos) return CopyEntry(defValue, bufferSize);  // a key without a value
    return CopyEntry(Trim(line.substr(eq + 1)), bufferSize);
  }
  return CopyEntry(defValue, bufferSize);
}

}  // namespace platform
