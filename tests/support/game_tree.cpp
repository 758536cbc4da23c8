#include "tests/support/game_tree.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/codepage.h"
#include "tests/support/test_files.h"

namespace testsupport {
namespace fs = std::filesystem;

namespace {

// Folder names in GBK (the literals are GBK in the binary); converted for the host when created.
const char* const kFolders[] = {"data/maps",        "data/maps/town",
                                "data/sound",       "data/sound/bgm",
                                "data/ui",          "data/ui/skin",
                                "data/地图",        "data/地图/场景",
                                "data/script",      "data/model/npc",
                                "data/model/item",  "data/software/tool",
                                "data/effect/粒子", "bin",
                                "data/font"};

std::string Host(const std::string& gbk) { return platform::HostPath(gbk); }

std::string Content(std::mt19937& rng, std::size_t size) {
  // Half random, half repetitive text, so packages compress the way game data does.
  std::string s(size, '\0');
  std::size_t i = 0;
  while (i < size) {
    std::size_t run = std::min<std::size_t>(size - i, 1 + rng() % 4096);
    if (rng() % 2) {
      for (std::size_t k = 0; k < run; ++k) s[i + k] = static_cast<char>(rng() & 0xFF);
    } else {
      static const char text[] = "npc_id=1024 name=guard pos=(12,40) script=idle.lua\n";
      for (std::size_t k = 0; k < run; ++k) s[i + k] = text[(i + k) % (sizeof text - 1)];
    }
    i += run;
  }
  return s;
}

std::size_t PickSize(std::mt19937& rng) {
  unsigned r = rng() % 100;
  if (r < 5) return 0;
  if (r < 60) return 1 + rng() % 2048;
  if (r < 95) return 2048 + rng() % 60000;
  return 200000 + rng() % 1500000;
}

std::vector<std::string> Files(const std::string& root) {
  std::vector<std::string> out;
  for (const std::string& p : ListTree(root))
    if (p.back() != '/') out.push_back(p);
  return out;
}

}  // namespace

std::string UpdateIniText(const std::string& version) { return "[Setting]\r\nVersion=" + version + "\r\n"; }

void MakeBaseTree(const std::string& root, const std::string& version, int files, std::uint32_t seed) {
  std::mt19937 rng(seed);
  MakeDirs(root + "/var/gac");
  for (const char* f : kFolders) MakeDirs(root + "/" + Host(f));
  const int folders = static_cast<int>(sizeof kFolders / sizeof kFolders[0]);
  for (int i = 0; i < files; ++i) {
    std::string folder = kFolders[rng() % folders];
    std::string name = (i % 17 == 0) ? "文件" + std::to_string(i) + ".dat" : "f" + std::to_string(i) + ".bin";
    WriteFile(root + "/" + Host(folder + "/" + name), Content(rng, PickSize(rng)));
  }
  WriteFile(root + "/var/gac/update.ini", UpdateIniText(version));
}

void EvolveTree(const std::string& from, const std::string& to, const std::string& version, std::uint32_t seed) {
  std::mt19937 rng(seed);
  CopyTree(from, to);
  std::vector<std::string> files = Files(to);
  files.erase(std::remove(files.begin(), files.end(), "var/gac/update.ini"), files.end());
  for (const std::string& rel : files) {
    const std::string path = to + "/" + rel;
    std::string bytes;
    ReadFile(path, &bytes);
    unsigned r = rng() % 100;
    if (r < 8) {  // changed in a few places
      for (int k = 0; k < 4 && !bytes.empty(); ++k) bytes[rng() % bytes.size()] ^= static_cast<char>(1 + rng() % 255);
      WriteFile(path, bytes);
    } else if (r < 12) {  // grown
      bytes += Content(rng, 1 + rng() % 20000);
      WriteFile(path, bytes);
    } else if (r < 15) {  // shrunk
      bytes.resize(bytes.size() / 2);
      WriteFile(path, bytes);
    } else if (r < 18) {  // rewritten
      WriteFile(path, Content(rng, PickSize(rng)));
    } else if (r < 21) {  // removed
      std::error_code ec;
      fs::remove(fs::path(path), ec);
    }
  }
  // New files, one of them in a new folder with a GBK name.
  const std::string tag = std::to_string(seed % 100000);
  MakeDirs(to + "/" + Host("data/新增" + tag + "/sub"));
  for (int i = 0; i < 6; ++i)
    WriteFile(to + "/" + Host("data/新增" + tag + "/sub/n" + std::to_string(i) + ".dat"), Content(rng, PickSize(rng)));
  WriteFile(to + "/data/script/new" + tag + ".lua", Content(rng, 3000));
  // A whole folder goes away, when one is left to remove.
  for (const char* victim : {"data/model/item", "data/font", "data/ui/skin"}) {
    std::error_code ec;
    if (fs::exists(fs::path(to + "/" + victim), ec)) {
      RemoveTree(to + "/" + victim);
      break;
    }
  }
  WriteFile(to + "/var/gac/update.ini", UpdateIniText(version));
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  const fs::path base(root);
  for (auto it = fs::recursive_directory_iterator(base, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), base, ec).generic_string();
    if (it->is_directory(ec) && !it->is_symlink(ec)) rel += "/";
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual,
                                      const std::function<bool(const std::string&)>& ignore) {
  std::vector<std::string> diffs;
  auto keep = [&](const std::vector<std::string>& v) {
    std::vector<std::string> out;
    for (const auto& p : v)
      if (!ignore || !ignore(p)) out.push_back(p);
    return out;
  };
  const std::vector<std::string> a = keep(ListTree(expected));
  const std::vector<std::string> b = keep(ListTree(actual));
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && a[i] < b[j])) {
      diffs.push_back("missing: " + a[i++]);
    } else if (i == a.size() || b[j] < a[i]) {
      diffs.push_back("extra: " + b[j++]);
    } else {
      if (a[i].back() != '/') {
        std::string x, y;
        ReadFile(expected + "/" + a[i], &x);
        ReadFile(actual + "/" + b[j], &y);
        if (x != y) diffs.push_back("differs: " + a[i]);
      }
      ++i;
      ++j;
    }
  }
  return diffs;
}

void CopyTree(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy(fs::path(from), fs::path(to), fs::copy_options::recursive, ec);
}

}  // namespace testsupport
