#include "update/name_rules.h"

#include <cstring>

#include "platform/codepage.h"

namespace {

bool IsLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsTrail(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

// Bytes taken by the character at i: 2 for a GBK pair, else 1.
std::size_t CharLength(const std::string& s, std::size_t i) {
  return IsLead(static_cast<unsigned char>(s[i])) && i + 1 < s.size() && IsTrail(static_cast<unsigned char>(s[i + 1]))
             ? 2
             : 1;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// "..", "...", ". ." and the like: Windows reads them as the parent folder.
bool OnlyDots(const std::string& part) {
  int dots = 0;
  for (char c : part) {
    if (c == '.')
      ++dots;
    else if (c != ' ')
      return false;
  }
  return dots >= 2;
}

// Windows' upper case for the letters the GBK code page holds (Latin, pinyin, Greek, Cyrillic,
// Roman numerals, full-width Latin); other characters are their own upper case.
char32_t Upcase(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
    return (c & 1) ? c - 1 : c;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E) || (c >= 0x1CD && c <= 0x1DC))
    return (c & 1) ? c : c - 1;
  if (c == 0x1F9) return 0x1F8;
  if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3C9)) return c - 0x20;
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (c >= 0x2170 && c <= 0x217F) return c - 0x10;
  if (c >= 0x24D0 && c <= 0x24E9) return c - 26;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

void PutUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Upper case of a UTF-8 text; bytes that are no UTF-8 stay as they are.
std::string UpcaseUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = n > 0 && i + n <= s.size();
    char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; ok && k < n; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      ok = (t & 0xC0) == 0x80;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (!ok) {
      out.push_back(s[i++]);
      continue;
    }
    PutUtf8(Upcase(cp), &out);
    i += n;
  }
  return out;
}

}  // namespace

std::size_t FindPathSeparator(const std::string& text, std::size_t from) {
  // Characters are counted from the start: only there is it known which byte leads a pair.
  for (std::size_t i = 0; i < text.size(); i += CharLength(text, i))
    if (i >= from && IsSeparator(text[i])) return i;
  return std::string::npos;
}

std::size_t FindLastPathSeparator(const std::string& text) {
  std::size_t last = std::string::npos;
  for (std::size_t i = 0; i < text.size(); i += CharLength(text, i))
    if (IsSeparator(text[i])) last = i;
  return last;
}

std::vector<std::string> SplitPathComponents(const std::string& path) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < path.size();) {
    std::size_t n = CharLength(path, i);
    if (n == 1 && IsSeparator(path[i]))
      parts.emplace_back();
    else
      parts.back().append(path, i, n);
    i += n;
  }
  return parts;
}

std::string TrimWindowsComponent(const std::string& component) {
  std::string::size_type end = component.size();
  while (end > 0 && (component[end - 1] == '.' || component[end - 1] == ' ')) --end;
  return component.substr(0, end);
}

bool IsDeviceName(const std::string& component) {
  std::string base = TrimWindowsComponent(component);
  base = base.substr(0, base.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

bool IsSafeSectionName(const std::string& name) {
  if (name.empty() || IsSeparator(name[0])) return false;
  if (name.find(':') != std::string::npos) return false;  // never a GBK trail byte
  const std::vector<std::string> parts = SplitPathComponents(name);
  for (const std::string& part : parts)
    if (OnlyDots(part) || IsDeviceName(part)) return false;
  // The last component names the file: Windows would reduce "", "." or blanks to the folder.
  return parts.back().find_first_not_of(". ") != std::string::npos;
}

const char kAddfTempName[] = "~nolk.tmp";
const char kOldCopySuffix[] = ".nolkpatch-new";
const char kSetAsideSuffix[] = ".nolkpatch-old";
const char kPartSuffix[] = ".nolkpatch-part";
const char kPendingSuffix[] = ".nolkpatch-pending";
const char kProgramLibrary[] = "nolkdbghelp.dll";

bool IsPortablePackageName(const std::string& name, std::string* why) {
  // A retired path becomes the list line "..\..\" + name, read in lines of at most 259 bytes.
  const std::size_t kMaxName = 259 - 6;
  // Character by character: a trail byte 0x7C is part of a GBK character (東, 億), not a "|".
  for (std::size_t i = 0, n; i < name.size(); i += n) {
    n = CharLength(name, i);
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (n == 1 && (c < 0x20 || std::strchr("<>\"|?*", c))) {
      *why = "it holds a character Windows does not allow in names (< > : \" | ? * or a control character)";
      return false;
    }
  }
  if (name.find(':') != std::string::npos) {
    *why = "it holds a colon, which Windows reads as a drive or a stream";
    return false;
  }
  for (const std::string& part : SplitPathComponents(name)) {
    if (IsDeviceName(part)) {
      *why = "\"" + platform::GbkToUtf8(part) + "\" is a Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
      return false;
    }
    if (part.empty() || part.find_first_not_of('.') == std::string::npos) {
      *why = "it has an empty or all-dot component";
      return false;
    }
    if (TrimWindowsComponent(part) != part) {
      *why = "\"" + platform::GbkToUtf8(part) + "\" ends in a dot or a blank, which Windows strips";
      return false;
    }
    const std::string key = WindowsPathKey(part);
    auto endsWith = [&key](const char* suffix) {
      const std::string s = WindowsPathKey(suffix);
      return key.size() >= s.size() && key.compare(key.size() - s.size(), s.size(), s) == 0;
    };
    if (key == WindowsPathKey(kAddfTempName) || endsWith(kOldCopySuffix) || endsWith(kSetAsideSuffix) ||
        endsWith(kPendingSuffix) || endsWith(kPartSuffix)) {
      *why = "\"" + platform::GbkToUtf8(part) + "\" is a name clients use for their own scratch files (" +
             kAddfTempName + ", *" + kOldCopySuffix + ", *" + kSetAsideSuffix + ", *" + kPendingSuffix + ", *" +
             kPartSuffix + ") and would overwrite or delete";
      return false;
    }
    if (platform::GbkToUtf8(part).size() > 255) {
      *why = "\"" + platform::GbkToUtf8(part) + "\" is longer than a Linux file name may be (255 bytes of UTF-8)";
      return false;
    }
  }
  if (!IsSafeSectionName(name)) {
    *why = "clients refuse it as a section name";
    return false;
  }
  if (name.size() > kMaxName) {
    *why = "it is longer than " + std::to_string(kMaxName) + " bytes, the most an obsolete-file list line can name";
    return false;
  }
  return true;
}

std::string WindowsPathKey(const std::string& gbkPath) {
  std::string key;
  for (const std::string& part : SplitPathComponents(gbkPath)) {
    std::string trimmed = TrimWindowsComponent(part);
    if (trimmed.empty()) continue;  // "", "." and what trims to nothing name no level
    if (!key.empty()) key += '/';
    key += UpcaseUtf8(platform::GbkToUtf8(trimmed));
  }
  return key;
}
