#include "tests/support/release_history.h"

#include <algorithm>
#include <iterator>
#include <random>
#include <set>

#include "platform/codepage.h"
#include "tests/support/game_tree.h"
#include "tests/support/update_chain.h"
#include "tests/support/test_files.h"

namespace testsupport {
namespace {

using Files = std::map<std::string, std::string>;

const char* const kNames[] = {"a.dat", "Foo.txt", "Map", "更新", "乗x", "丄b", "乤c", "文件.txt", "Mixed.Case", "z"};
const char* const kFolders[] = {"data/Models", "data/ui", "data/更新", "data/乗", "data/Sound/fx", "data/old", "sound"};

// Literals are GBK; the trees are written in the host's encoding.
std::string Name(std::size_t i) { return platform::GbkToUtf8(kNames[i % (sizeof kNames / sizeof *kNames)]); }
std::string Folder(std::size_t i) { return platform::GbkToUtf8(kFolders[i % (sizeof kFolders / sizeof *kFolders)]); }

std::vector<std::string> Folders(const std::string& path) {
  std::vector<std::string> out;
  for (std::size_t s = path.find('/'); s != std::string::npos; s = path.find('/', s + 1)) out.push_back(path.substr(0, s));
  return out;
}

bool IsProgramFile(const std::string& path) { return path.compare(0, 10, "bin/patch/") == 0; }

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}
  std::uint32_t Next(std::uint32_t n) { return n ? rng_() % n : 0; }
  std::string Content() {
    std::string s(Next(4) == 0 ? 0 : Next(3000), '\0');
    for (char& c : s) c = static_cast<char>(Next(4) ? "abc \n"[Next(5)] : Next(256));
    return s;
  }
  std::string Toggle(const std::string& s) {
    std::string t = s;
    for (char& c : t)
      if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && Next(2)) c ^= 0x20;
    return t;
  }
  template <class C>
  std::string Pick(const C& c) {
    auto it = c.begin();
    std::advance(it, Next(static_cast<std::uint32_t>(c.size())));
    return *it;
  }

  // Keys that ever were files or folders: a key never changes its kind.
  bool Valid(const Files& f) const {
    std::set<std::string> keys, dirs;
    for (const auto& e : f) {
      if (!keys.insert(AsciiFold(e.first)).second) return false;
      if (everDir_.count(AsciiFold(e.first))) return false;
      for (const std::string& d : Folders(e.first)) dirs.insert(d);
    }
    std::map<std::string, std::string> dirKeys;
    for (const std::string& d : dirs) {
      const std::string k = AsciiFold(d);
      if (everFile_.count(k) || keys.count(k)) return false;
      auto at = dirKeys.emplace(k, d);
      if (!at.second && at.first->second != d) return false;  // two spellings of one folder
    }
    return true;
  }
  void Remember(const Files& f) {
    for (const auto& e : f) {
      everFile_.insert(AsciiFold(e.first));
      if (!IsProgramFile(e.first)) retired_.insert(e.first);
      for (const std::string& d : Folders(e.first)) everDir_.insert(AsciiFold(d));
    }
  }

  // Shipped first with a chance of one in three, then changed with one in two, never removed.
  void StepProgram(const std::vector<std::string>& programFiles, int release, Files* f) {
    for (const std::string& name : programFiles) {
      const std::string path = "bin/patch/" + name;
      if (f->count(path) ? Next(2) == 0 : Next(3) != 0) continue;
      (*f)[path] = "release " + std::to_string(release) + " " + Content();
    }
  }

  Files Step(const Files& prev) {
    Files f = prev;
    auto attempt = [&](Files candidate) {
      return Valid(candidate) && (f.swap(candidate), true);
    };
    std::vector<std::string> names;
    for (const auto& e : f)
      if (e.first.compare(0, 8, "var/gac/") != 0 && !IsProgramFile(e.first)) names.push_back(e.first);
    for (int k = 0; k < 4; ++k) {
      if (names.empty()) break;
      const std::string victim = Pick(names);
      if (!f.count(victim)) continue;
      Files c = f;
      switch (Next(5)) {
        case 0:
          c.erase(victim);
          break;
        case 1: {  // case-only rename of the file
          std::string::size_type slash = victim.rfind('/');
          std::string renamed = victim.substr(0, slash + 1) + Toggle(victim.substr(slash + 1));
          if (renamed == victim) break;
          c[renamed] = Next(2) ? c[victim] : Content();
          c.erase(victim);
          renamedByCase_ = true;
          break;
        }
        case 2: {  // case-only rename of a folder, everything below it along
          // Any folder but data/ itself, where clients read the obsolete-file list.
          std::vector<std::string> dirs = Folders(victim);
          const std::string dir = dirs[Next(static_cast<std::uint32_t>(dirs.size()))];
          if (dir == "data") break;
          std::string::size_type slash = dir.rfind('/');
          const std::string renamed = dir.substr(0, slash + 1) + Toggle(dir.substr(slash + 1));
          Files moved;
          for (const auto& e : c) {
            if (e.first.compare(0, dir.size() + 1, dir + "/") == 0)
              moved[renamed + e.first.substr(dir.size())] = e.second;
            else
              moved[e.first] = e.second;
          }
          c.swap(moved);
          renamedByCase_ = true;
          break;
        }
        case 3: {  // a whole folder retired
          std::vector<std::string> dirs = Folders(victim);
          const std::string dir = dirs.back();
          if (dir == "data" || dir == "bin") break;
          for (auto it = c.begin(); it != c.end();)
            it = it->first.compare(0, dir.size() + 1, dir + "/") == 0 ? c.erase(it) : std::next(it);
          break;
        }
        default:
          c[victim] = Content();
      }
      if (attempt(c) && renamedByCase_) caseRenamed = true;
      renamedByCase_ = false;
    }
    // New files, and files of earlier releases brought back (which partly brings back retired folders).
    for (int k = 0, n = 1 + static_cast<int>(Next(4)); k < n; ++k) {
      Files c = f;
      if (Next(2) && !retired_.empty()) {
        const std::string back = Pick(retired_);
        c[back] = Content();
      } else {
        std::string dir = Folder(Next(100));
        if (Next(3) == 0) dir += "/" + Name(Next(100)) + "d";
        c[dir + "/" + Name(Next(100))] = Content();
      }
      attempt(c);
    }
    return f;
  }

  bool caseRenamed = false, renamedByCase_ = false;  // a case-only rename kept, tried

 private:
  std::mt19937 rng_;
  std::set<std::string> everFile_, everDir_, retired_;
};

}  // namespace

std::string AsciiFold(const std::string& s) {
  std::string t = s;
  for (char& c : t)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  return t;
}

void ReleaseHistory::Write(std::size_t i, const std::string& dir, const std::map<std::string, std::string>& programs) const {
  MakeDirs(dir + "/var/gac");
  for (const auto& e : files[i]) {
    std::string::size_type slash = e.first.rfind('/');
    if (slash != std::string::npos) MakeDirs(dir + "/" + e.first.substr(0, slash));
    auto program = IsProgramFile(e.first) ? programs.find(e.first.substr(10)) : programs.end();
    WriteFile(dir + "/" + e.first, program == programs.end() ? e.second : program->second + e.second);
  }
  WriteFile(dir + "/var/gac/update.ini", UpdateIniText(versions[i]));
}

ReleaseHistory MakeReleaseHistory(std::uint32_t seed, int releases, const std::vector<std::string>& programFiles) {
  Generator g(seed);
  ReleaseHistory h;
  Files f;
  f["var/gac/update.ini"] = "";
  for (int k = 0; k < 12; ++k) {
    Files c = f;
    c[Folder(g.Next(100)) + "/" + Name(g.Next(100))] = g.Content();
    if (g.Valid(c)) f.swap(c);
  }
  for (int i = 0; i < releases; ++i) {
    if (i > 0) f = g.Step(f);
    g.StepProgram(programFiles, i, &f);
    g.Remember(f);
    h.versions.push_back("3.0." + std::to_string(i + 1));
    Files written = f;
    written.erase("var/gac/update.ini");
    h.files.push_back(written);
  }
  h.caseRenamed = g.caseRenamed;
  return h;
}

std::vector<std::string> CompareWithRelease(const ReleaseHistory& history, const std::string& expected,
                                            const std::string& actual, bool caseInsensitive,
                                            const std::function<bool(const std::string&)>& ignore) {
  std::vector<std::string> diffs;
  auto keep = [&ignore](std::vector<std::string> v) {
    if (ignore) v.erase(std::remove_if(v.begin(), v.end(), ignore), v.end());
    return v;
  };
  const std::vector<std::string> want = keep(ListTree(expected)), got = keep(ListTree(actual));
  std::map<std::string, std::string> wantKeys, gotKeys;
  for (const std::string& p : want) wantKeys[AsciiFold(p)] = p;
  for (const std::string& p : got) {
    auto at = gotKeys.emplace(AsciiFold(p), p);
    if (!at.second && caseInsensitive) diffs.push_back("two spellings of one name: " + p + " " + at.first->second);
  }
  std::set<std::string> gotSet(got.begin(), got.end());
  auto same = [&](const std::string& w, const std::string& g) {
    if (w.back() == '/') return;
    std::string a, b;
    ReadFile(expected + "/" + w, &a);
    ReadFile(actual + "/" + g, &b);
    if (a != b) diffs.push_back("differs: " + w);
  };
  for (const std::string& w : want) {
    if (caseInsensitive) {
      auto g = gotKeys.find(AsciiFold(w));
      if (g == gotKeys.end())
        diffs.push_back("missing: " + w);
      else
        same(w, g->second);
    } else if (!gotSet.count(w)) {
      diffs.push_back("missing: " + w);
    } else {
      same(w, w);
    }
  }
  // Spellings each key had, and its last one.
  std::map<std::string, std::string> last;
  std::set<std::string> spellings;
  for (const auto& release : history.files) {
    std::map<std::string, std::string> seen;
    for (const auto& e : release) {
      seen[AsciiFold(e.first)] = e.first;
      for (const std::string& d : Folders(e.first)) seen[AsciiFold(d + "/")] = d + "/";
    }
    for (const auto& s : seen) {
      last[s.first] = s.second;
      spellings.insert(s.second);
    }
  }
  for (const std::string& g : got) {
    const std::string key = AsciiFold(g);
    if (caseInsensitive ? wantKeys.count(key) : std::binary_search(want.begin(), want.end(), g)) continue;
    if (!caseInsensitive && spellings.count(g) && last.count(key) && last[key] != g) continue;  // old spelling
    diffs.push_back("extra: " + g);
  }
  return diffs;
}

std::function<bool(const std::string&)> OutsideTheRelease(const ReleaseHistory& h, const std::vector<std::string>& programs) {
  std::set<std::string> deployed;
  for (const std::string& name : programs)
    if (!h.files.back().count("bin/patch/" + name)) deployed.insert("bin/patch/" + name);
  return [deployed](const std::string& rel) {
    return rel == "bin/" || rel == "bin/patch/" || rel == "bin/patch/nolk.log" || deployed.count(rel) > 0 ||
           (!IsProgramFile(rel) && InstallationOnly(rel));
  };
}

}  // namespace testsupport
