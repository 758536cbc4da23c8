#include "tools/nolkpack/list_check.h"

#include <cstdio>
#include <map>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/stdio_file.h"
#include "tools/nolkpack/pack_build.h"
#include "tools/nolkpack/pack_inspect.h"
#include "update/name_rules.h"
#include "update/update_list.h"

#undef DeleteFile

namespace nolkpack {
namespace {

// The bytes clients take as blanks between words.
const char kBlanks[] = " \t\n\v\f\r";

struct Line {
  std::string text;  // without its end
  std::string end;   // "\r\n", "\n" or "" for a last line without one
  bool dropped = false;
};

struct Record {
  std::size_t line;  // index into the lines
  VersionCode version;
  std::string url, md5;
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    Line l;
    l.text = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    l.end = end == std::string::npos ? "" : "\n";
    if (!l.text.empty() && l.text.back() == '\r' && !l.end.empty()) {
      l.text.pop_back();
      l.end = "\r\n";
    }
    lines.push_back(l);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  for (std::size_t at = line.find_first_not_of(kBlanks); at != std::string::npos;
       at = line.find_first_not_of(kBlanks, at)) {
    std::size_t end = line.find_first_of(kBlanks, at);
    words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? line.size() : end;
  }
  return words;
}

// The list line by line: each record must fill its own line, so that what the operator reads is
// what clients read (they take words in twos and threes whatever the line breaks).
void ReadRecords(const std::string& text, const std::vector<Line>& lines, std::vector<Record>* records,
                 std::vector<std::string>* faults) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string> w = Words(lines[i].text);
    if (w.empty()) continue;
    VersionCode v = 0;
    const bool package = ScanVersion(w[0], &v);
    const std::size_t want = package || w[0].compare(0, 2, "##") == 0 || w[0].compare(0, 2, "#!") == 0 ? 3 : 2;
    if (w.size() != want) {
      faults->push_back("line " + std::to_string(i + 1) + " holds " + std::to_string(w.size()) + " word" +
                        (w.size() == 1 ? "" : "s") + ", not " + std::to_string(want) +
                        (package ? " (version, URL, MD5; a blank in the URL splits it)" : "") +
                        ": clients would read the records after it shifted");
      continue;
    }
    if (package) records->push_back(Record{i, v, w[1], w[2]});
  }
  if (!faults->empty()) return;
  // The clients' own reading must give the same records.
  ParseUpdateList(0, text);
  std::size_t k = 0;
  for (const Record& r : *records) {
    if (r.version == 0) continue;  // never newer than an installed version
    if (k >= UpdateList.size() || UpdateList[k].version != r.version || UpdateList[k].url != r.url ||
        UpdateList[k].md5 != r.md5) {
      faults->push_back("line " + std::to_string(r.line + 1) + ": clients read the list otherwise from here on");
      return;
    }
    ++k;
  }
  if (k != UpdateList.size()) faults->push_back("clients read package records that no line holds on its own");
}

bool ReadList(const std::string& path, bool mayBeAbsent, std::string* text, std::string* error) {
  const platform::PathKind kind = platform::GetPathKind(path);
  if (kind == platform::PathKind::kNone && mayBeAbsent) return true;
  if (kind != platform::PathKind::kFile) {
    *error = "not a file: " + platform::HostPath(path);
    return false;
  }
  return ReadWholeFile(path, text, error);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = FindLastPathSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsLowerHexDigest(const std::string& md5) {
  return md5.size() == 32 && md5.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

bool CheckPackageUrl(const std::string& url, const std::string& packagePath, std::string* why) {
  if (url.empty() || url.find_first_of(kBlanks) != std::string::npos) {
    *why = "the URL must be one word without blanks";
    return false;
  }
  const std::string name = BaseName(packagePath);
  if (url.find('/') == std::string::npos) {
    *why = "clients take the package's file name from after the last \"/\" of its URL, and " +
           platform::HostPath(url) + " has none: give the whole URL, for example http://<package host>/package/" +
           platform::HostPath(name);
    return false;
  }
  const std::string listed = PackageFileName(url);
  if (listed != name) {
    *why = "the URL's last segment (\"" + platform::HostPath(url.substr(url.rfind('/') + 1)) +
           "\") must be the package's file name " + platform::HostPath(name) +
           ": clients look for that name in var/gac";
    return false;
  }
  return true;
}

bool UpdateListFile(const std::string& listPath, const std::string& packagePath, const std::string& url,
                    std::string* done, std::string* error) {
  std::string text, line;
  if (!ReadList(listPath, true, &text, error)) return false;
  if (!PackageLine(packagePath, url, &line, error)) return false;
  line.pop_back();  // its line feed; the list's own line end is used
  VersionCode version = 0;
  if (!ReadPackageVersion(packagePath, &version, error)) return false;

  std::vector<Line> lines = SplitLines(text);
  std::vector<Record> records;
  std::vector<std::string> faults;
  ReadRecords(text, lines, &records, &faults);
  if (!faults.empty()) {
    *error = platform::HostPath(listPath) + ": " + faults.front() +
             "; nolkpack edits lists of one record per line: mend it by hand first";
    return false;
  }
  std::string end = "\n";
  for (const Line& l : lines)
    if (l.end == "\r\n") end = "\r\n";
  if (!lines.empty() && lines.back().end.empty()) lines.back().end = end;

  const std::string what = platform::HostPath(listPath) + ": the line of " + VersionText(version);
  std::size_t at = lines.size();  // where the line goes
  bool replaced = false;
  for (const Record& r : records) {
    if (r.version == version && !replaced) {
      at = r.line;
      replaced = true;
      *done = what + " replaced (it named " + platform::HostPath(r.url) + " " + r.md5 + ")";
    } else if (r.version == version) {
      lines[r.line].dropped = true;  // a second line of that version
      *done += "; a second one removed";
    } else if (r.version > version && !replaced && at == lines.size()) {
      at = r.line;
      *done = what + " put before the line of " + VersionText(r.version);
    }
  }
  if (at == lines.size()) {
    lines.push_back(Line{line, end, false});
    *done = what + " added at the end";
  } else if (replaced) {
    lines[at].text = line;
  } else {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), Line{line, end, false});
  }
  std::string out;
  for (const Line& l : lines)
    if (!l.dropped) out += l.text + l.end;

  // Written aside and put in place in one step: a list cut short is never published.
  const std::string temp = listPath + ".new";
  std::FILE* f = platform::OpenStdFile(temp, "wb");
  bool ok = f && std::fwrite(out.data(), 1, out.size(), f) == out.size();
  ok = f && std::fclose(f) == 0 && ok;
  if (!ok || !platform::ReplaceFileWith(temp, listPath)) {
    platform::DeleteFile(temp);
    *error = "cannot write " + platform::HostPath(listPath);
    return false;
  }
  return true;
}

bool CheckUpdateList(const std::string& listPath, VersionCode oldVersion, const std::vector<std::string>& packages,
                     std::vector<std::string>* problems, std::string* error) {
  std::string text;
  if (!ReadList(listPath, false, &text, error)) return false;
  struct Wanted {
    std::string name, md5;
    bool seen = false;
  };
  std::map<VersionCode, Wanted> chain;
  for (const std::string& p : packages) {
    VersionCode v = 0;
    if (!ReadPackageVersion(p, &v, error)) return false;
    chain[v] = Wanted{BaseName(p), GetFileMD5(p, 10485760)};
  }
  const std::string list = platform::HostPath(BaseName(listPath));
  std::vector<Line> lines = SplitLines(text);
  std::vector<Record> records;
  std::vector<std::string> faults;
  ReadRecords(text, lines, &records, &faults);
  for (const std::string& f : faults) problems->push_back(list + " " + f);

  std::map<VersionCode, std::size_t> lineOf;
  VersionCode previous = 0;
  for (const Record& r : records) {
    const std::string at = list + " line " + std::to_string(r.line + 1) + ": " + VersionText(r.version);
    auto twin = lineOf.emplace(r.version, r.line);
    if (!twin.second)
      problems->push_back(at + " is listed again (first on line " + std::to_string(twin.first->second + 1) +
                          "): clients check and apply every line of a version");
    else if (r.version < previous)
      problems->push_back(at + " comes after " + VersionText(previous) +
                          ": clients apply the list in its order, so every version once, rising");
    previous = std::max(previous, r.version);
    const std::string name = PackageFileName(r.url);
    if (name.empty())
      problems->push_back(at + ": the URL " + platform::HostPath(r.url) +
                          " gives clients no file name (the text after its last \"/\")");
    std::string lower = r.md5;
    for (char& c : lower)
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!IsLowerHexDigest(r.md5))
      problems->push_back(at + ": the MD5 " + platform::HostPath(r.md5) +
                          (IsLowerHexDigest(lower) ? " must be lower case: clients compare it exactly"
                                                   : " is not 32 lower-case hexadecimal digits, which clients compare exactly"));
    auto want = chain.find(r.version);
    if (want == chain.end()) {
      if (r.version > oldVersion)
        problems->push_back(at + " is newer than OLD_DIR, but no package given leads to it: clients would apply it "
                                 "unchecked");
      continue;
    }
    if (!twin.second) continue;
    want->second.seen = true;
    if (!name.empty() && name != want->second.name)
      problems->push_back(at + ": clients look for " + platform::HostPath(name) + ", the package is " +
                          platform::HostPath(want->second.name));
    if (r.md5 != want->second.md5 && IsLowerHexDigest(r.md5))
      problems->push_back(at + ": the MD5 " + r.md5 + " is not the package's (" + want->second.md5 +
                          "): clients stop at its check");
  }
  for (const auto& c : chain)
    if (!c.second.seen)
      problems->push_back(list + " has no line for " + VersionText(c.first) + " (" + platform::HostPath(c.second.name) +
                          "): clients would never apply it");
  return true;
}

}  // namespace nolkpack
