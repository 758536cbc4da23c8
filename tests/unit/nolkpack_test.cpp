// nolkpack: packages made from two trees turn the first into the second with the program's own
// reader, section writer and obsolete-file removal; and the tool's subcommands.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "package/bz_update_helper.h"
#include "package/obsolete_files.h"
#include "package/update_sec.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/stdio_file.h"
#include "tests/support/child_process.h"
#include "tests/support/package_bytes.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "tools/nolkpack/pack_build.h"
#include "tools/nolkpack/pack_inspect.h"

namespace {

// Relative GBK path -> content; folders end in "/" and have none.
using Tree = std::map<std::string, std::string>;

const char kList[] = "data/DelFileList.dat";

void MakeFolders(const std::string& root, const std::string& rel) {
  std::string path = root;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type slash = rel.find('/', start);
    if (slash == std::string::npos) return;
    path = root + "/" + rel.substr(0, slash);
    platform::MakeDir(path);
    start = slash + 1;
  }
}

void WriteTree(const std::string& root, const Tree& tree) {
  platform::MakeDir(root);
  for (const auto& e : tree) {
    MakeFolders(root, e.first);
    if (e.first.back() == '/') continue;
    std::FILE* f = platform::OpenStdFile(root + "/" + e.first, "wb");
    ASSERT_NE(f, nullptr) << platform::HostPath(e.first);
    if (!e.second.empty()) std::fwrite(e.second.data(), 1, e.second.size(), f);
    std::fclose(f);
  }
}

void ReadTree(const std::string& root, const std::string& rel, Tree* tree) {
  platform::FindData d;
  void* s = platform::FindFirst(root + "/" + rel + "*", &d);
  if (!s) return;
  std::vector<std::string> dirs;
  do {
    if (d.name == "." || d.name == "..") continue;
    std::string path = rel + d.name;
    if (d.isDirectory) {
      (*tree)[path + "/"] = "";
      dirs.push_back(path + "/");
    } else {
      std::string bytes;
      std::FILE* f = platform::OpenStdFile(root + "/" + path, "rb");
      char buf[65536];
      std::size_t n;
      while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
      if (f) std::fclose(f);
      (*tree)[path] = bytes;
    }
  } while (platform::FindNext(s, &d));
  platform::FindClose(s);
  for (const std::string& dir : dirs) ReadTree(root, dir, tree);
}

std::vector<std::string> Differences(const Tree& expected, const Tree& actual) {
  std::vector<std::string> out;
  for (const auto& e : expected) {
    if (e.first == kList) continue;
    auto a = actual.find(e.first);
    if (a == actual.end())
      out.push_back("missing " + platform::HostPath(e.first));
    else if (a->second != e.second)
      out.push_back("differs " + platform::HostPath(e.first));
  }
  for (const auto& a : actual)
    if (a.first != kList && !expected.count(a.first)) out.push_back("extra " + platform::HostPath(a.first));
  return out;
}

// Applies a package to the installation at root the way the apply phase does.
void ApplyPackage(const std::string& package, VersionCode version, const std::string& root) {
  BzUpdateHelper reader;
  ASSERT_TRUE(reader.Open(version, "p.pkg", package)) << platform::HostPath(reader.GetErrorText());
  for (;;) {
    const unsigned char* s = reader.ReadSection();
    if (reader.IsEnd()) break;
    ASSERT_NE(s, nullptr) << platform::HostPath(reader.GetErrorText());
    ASSERT_TRUE(ApplyUpdateSec("p.pkg", root + "/", s)) << SectionName(s);
  }
  const std::string previous = platform::GetCurrentDirectory();
  ASSERT_TRUE(platform::SetCurrentDirectory(root + "/bin/patch"));
  RemoveObsoleteFiles();
  platform::SetCurrentDirectory(previous);
}

std::vector<std::string> RecordNames(const std::string& package, VersionCode version) {
  std::vector<std::string> names;
  BzUpdateHelper reader;
  if (!reader.Open(version, "p.pkg", package)) return names;
  for (const unsigned char* s; (s = reader.ReadSection()) != nullptr;) names.push_back(SectionName(s));
  return names;
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}
  std::uint32_t Next(std::uint32_t n) { return rng_() % n; }
  std::string Bytes(std::size_t n) {
    // Half compressible, half noise, as game data is.
    std::string s(n, '\0');
    bool text = Next(2) == 0;
    for (auto& c : s) c = static_cast<char>(text ? "abcdefgh \n"[Next(10)] : Next(256));
    return s;
  }
  std::string Name() {
    static const char* const names[] = {"a.dat",        "b.bin",   "map",       "sound", "更新", "文件.txt",
                                        "人物模型.mdl", "x y.ini", "UPPER.DAT", "lib",   "界面", "z.pak"};
    return names[Next(sizeof names / sizeof *names)] + std::to_string(Next(100));
  }
  std::size_t Size() {
    switch (Next(6)) {
      case 0:
        return 0;
      case 1:
        return Next(20);
      case 2:
        return Next(2000);
      case 3:
        return 20000 + Next(60000);
      default:
        return Next(8000);
    }
  }

  Tree MakeOld() {
    Tree t;
    t["bin/patch/"] = "";
    t["bin/patch/nolkpatch.exe"] = Bytes(3000);
    t["var/gac/update.ini"] = "[Setting]\r\nVersion=1.0.0\r\n";
    std::vector<std::string> dirs = {"data/", "bin/"};
    for (int i = 0; i < 6; ++i) {
      std::string d = dirs[Next(static_cast<std::uint32_t>(dirs.size()))] + Name() + "/";
      dirs.push_back(d);
    }
    for (const std::string& d : dirs) t[d] = "";
    for (int i = 0; i < 30; ++i) t[dirs[Next(static_cast<std::uint32_t>(dirs.size()))] + Name()] = Bytes(Size());
    if (Next(2)) {
      // What an interrupted removal left, and a name that comes back.
      t["data/DelFileList.dat"] = "..\\..\\data\\leftover.dat\r\n..\\..\\data\\back.dat\r\n";
      t["data/leftover.dat"] = "left";
    }
    return Clean(t);
  }

  Tree Evolve(const Tree& old) {
    Tree t = old;
    std::vector<std::string> files, dirs;
    for (const auto& e : old) (e.first.back() == '/' ? dirs : files).push_back(e.first);
    for (const std::string& f : files) {
      if (f.compare(0, 4, "var/") == 0 || f.compare(0, 10, "bin/patch/") == 0) continue;
      std::string& c = t[f];
      switch (Next(8)) {
        case 0:
          t.erase(f);
          break;  // removed
        case 1:
          c += Bytes(Size());
          break;  // grown
        case 2:
          c.resize(c.size() / 2);
          break;  // shrunk
        case 3:
          c.clear();
          break;  // emptied
        case 4:
          c = Bytes(Size());
          break;  // replaced
        case 5:   // a few bytes changed
          for (int k = 0; k < 5 && !c.empty(); ++k) c[Next(static_cast<std::uint32_t>(c.size()))] ^= 0x5A;
          break;
        default:
          break;  // unchanged
      }
    }
    // Whole folders go.
    for (const std::string& d : dirs) {
      if (d == "data/" || d == "bin/" || d.compare(0, 4, "var/") == 0 || d.compare(0, 10, "bin/patch/") == 0) continue;
      if (Next(5) == 0)
        for (auto it = t.lower_bound(d); it != t.end() && it->first.compare(0, d.size(), d) == 0;) it = t.erase(it);
    }
    // New files, some in new folders.
    for (int i = 0; i < 8; ++i) {
      std::string base = Next(2) ? "data/" : "data/" + Name() + "/" + Name() + "/";
      t[base + Name()] = Bytes(Size());
    }
    t["var/gac/update.ini"] = "[Setting]\r\nVersion=1.0.1\r\n";
    t.erase("data/leftover.dat");
    t.erase("data/DelFileList.dat");
    if (Next(2)) t["data/back.dat"] = "back";
    return Clean(t);
  }

 private:
  // No name both a file and a folder; every folder listed with its parents.
  static Tree Clean(Tree t) {
    for (auto it = t.begin(); it != t.end();) {
      if (it->first.back() != '/' && t.count(it->first + "/"))
        it = t.erase(it);
      else
        ++it;
    }
    Tree out = t;
    for (const auto& e : t) {
      for (std::string::size_type s = e.first.find('/'); s != std::string::npos; s = e.first.find('/', s + 1)) {
        std::string parent = e.first.substr(0, s);
        if (out.count(parent)) {
          out.clear();
          return Clean(Drop(t, parent));
        }
        out[parent + "/"] = "";
      }
    }
    return out;
  }
  static Tree Drop(Tree t, const std::string& file) {
    t.erase(file);
    return t;
  }

  std::mt19937 rng_;
};

class RoundTrip : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return dir_.Path() + "/" + name; }
  testsupport::TempDir dir_;
};

TEST_F(RoundTrip, RandomTreesBecomeTheNewTree) {
  platform::SetMessageBoxHandler([](const platform::MessageBoxRequest& r) {
    ADD_FAILURE() << "box: " << platform::HostPath(r.text);
    return static_cast<int>(platform::kIdCancel);
  });
  const VersionCode version = MakeVersionCode(1, 0, 1);
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Generator g(seed);
    Tree oldTree = g.MakeOld();
    Tree newTree = g.Evolve(oldTree);
    const std::string base = Path("s" + std::to_string(seed));
    platform::MakeDir(base);
    WriteTree(base + "/old", oldTree);
    WriteTree(base + "/new", newTree);
    WriteTree(base + "/install", oldTree);

    nolkpack::BuildStats stats;
    std::string error;
    const std::string package = base + "/p.pkg";
    ASSERT_TRUE(nolkpack::BuildPackage(base + "/old", base + "/new", version, package, &stats, &error)) << error;
    ApplyPackage(package, version, base + "/install");
    Tree installed;
    ReadTree(base + "/install", "", &installed);
    std::vector<std::string> diffs = Differences(newTree, installed);
    EXPECT_TRUE(diffs.empty()) << ::testing::PrintToString(diffs);

    // The version comes last, so a package cut short is applied again in full.
    std::vector<std::string> names = RecordNames(package, version);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "var/gac/update.ini");
  }
  platform::SetMessageBoxHandler(nullptr);
}

TEST_F(RoundTrip, ObsoleteListKeepsLeftoversAndForgetsWhatCameBack) {
  Tree oldTree = {{"bin/", ""},
                  {"bin/patch/", ""},
                  {"data/", ""},
                  {"data/leftover/", ""},
                  {"data/leftover/l.dat", "l"},
                  {"data/stay.dat", "s"},
                  {"data/gone.dat", "g"},
                  {"var/", ""},
                  {"var/gac/", ""},
                  {"var/gac/update.ini", "[Setting]\r\nVersion=1.0.0\r\n"},
                  {kList, "..\\..\\data\\leftover\r\n..\\..\\data\\back.dat\r\n"}};
  Tree newTree = oldTree;
  newTree.erase("data/leftover/");
  newTree.erase("data/leftover/l.dat");
  newTree.erase("data/gone.dat");
  newTree.erase(kList);
  newTree["data/back.dat"] = "back";
  newTree["var/gac/update.ini"] = "[Setting]\r\nVersion=2.0.0\r\n";
  WriteTree(Path("old"), oldTree);
  WriteTree(Path("new"), newTree);
  WriteTree(Path("install"), oldTree);
  nolkpack::BuildStats stats;
  std::string error;
  const VersionCode v = MakeVersionCode(2, 0, 0);
  ASSERT_TRUE(nolkpack::BuildPackage(Path("old"), Path("new"), v, Path("p.pkg"), &stats, &error)) << error;
  ApplyPackage(Path("p.pkg"), v, Path("install"));
  Tree installed;
  ReadTree(Path("install"), "", &installed);
  EXPECT_TRUE(Differences(newTree, installed).empty()) << ::testing::PrintToString(Differences(newTree, installed));
  // Every retired path on its own line, folders marked, so a folder that partly comes back later
  // keeps the rest listed.
  const std::string list = "..\\..\\data\\gone.dat\r\n..\\..\\data\\leftover\\\r\n..\\..\\data\\leftover\\l.dat\r\n";
  EXPECT_EQ(installed[kList], list);
  // NEW_DIR keeps it for the next release.
  std::string kept;
  ASSERT_TRUE(testsupport::ReadFile(Path("new") + "/" + kList, &kept));
  EXPECT_EQ(kept, list);
  std::vector<std::string> names = RecordNames(Path("p.pkg"), v);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[1], kList);
  EXPECT_EQ(names[2], "var/gac/update.ini");
}

TEST_F(RoundTrip, ChangedFilesBecomeRunsWhenThatIsSmaller) {
  const std::string big = testsupport::RandomBytes(50000, 5);
  std::string changed = big;
  changed[100] ^= 1;
  changed[40000] ^= 1;
  Tree oldTree = {{"bin/", ""},         {"bin/patch/", ""},   {"data/", ""},
                  {"data/big.bin", big}, {"data/small", "abc"}, {"var/gac/update.ini", "[Setting]\r\nVersion=0.0.0\r\n"}};
  Tree newTree = oldTree;
  newTree["var/gac/update.ini"] = "[Setting]\r\nVersion=0.0.1\r\n";
  newTree["data/big.bin"] = changed;
  newTree["data/small"] = "xyz";
  WriteTree(Path("old"), oldTree);
  WriteTree(Path("new"), newTree);
  nolkpack::BuildStats stats;
  std::string error, listing;
  ASSERT_TRUE(nolkpack::BuildPackage(Path("old"), Path("new"), 1, Path("p.pkg"), &stats, &error)) << error;
  EXPECT_EQ(stats.modified, 2);  // data/big.bin and the version
  EXPECT_EQ(stats.added, 1);
  ASSERT_TRUE(nolkpack::ListPackage(Path("p.pkg"), &listing, &error)) << error;
  EXPECT_NE(listing.find("MODI data/big.bin fileLength=50000 dataLength=18"), std::string::npos) << listing;
  EXPECT_NE(listing.find("run skip=100 count=1 at=100"), std::string::npos) << listing;
  EXPECT_NE(listing.find("run skip=39899 count=1 at=40000"), std::string::npos) << listing;
  EXPECT_NE(listing.find("ADDF data/small dataLength=3"), std::string::npos) << listing;
}

TEST(PatchRuns, RunsRebuildTheNewBytes) {
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    std::string a = testsupport::RandomBytes(rng() % 300, rng()), b = a;
    b.resize(rng() % 300, 'q');
    for (int k = rng() % 6; k > 0 && !b.empty(); --k) b[rng() % b.size()] = static_cast<char>(rng());
    std::string runs = nolkpack::MakePatchRuns(a, b);
    ASSERT_TRUE(
        CheckPatchRuns(reinterpret_cast<const unsigned char*>(runs.data()), static_cast<std::uint32_t>(runs.size())));
    // Replay the runs as WritePatchRuns does, then set the length.
    std::string file = a;
    std::size_t pos = 0;
    for (std::size_t at = 0; at < runs.size();) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(runs.data()) + at;
      pos += ReadLe32(p);
      std::uint32_t n = ReadLe32(p + 4);
      if (file.size() < pos + n) file.resize(pos + n, '\0');
      file.replace(pos, n, runs, at + 8, n);
      pos += n;
      at += 8 + n;
    }
    file.resize(b.size(), '\0');
    ASSERT_EQ(file, b) << i;
  }
}

TEST(PackageBody, IsAStandardBzip2Stream) {
  testsupport::TempDir dir;
  std::string error;
  std::vector<std::string> records = {nolkpack::MakeRecord(kSectionAddf, 0, "data/a", std::string(3000, 'a'))};
  ASSERT_TRUE(nolkpack::WritePackage(dir.Path() + "/p.pkg", 0x01020003, records, &error));
  std::string bytes;
  ASSERT_TRUE(testsupport::ReadFile(dir.Path() + "/p.pkg", &bytes));
  ASSERT_GT(bytes.size(), 12u);
  EXPECT_EQ(bytes.substr(0, 12), std::string("ZBNR\x03\0\x02\x01\0\0\0\0", 12));
  EXPECT_EQ(bytes.substr(12, 3), "BZh");
  // libbz2's one-shot decoder takes exactly one standard stream: the records and a short tail.
  std::string body;
  ASSERT_TRUE(testsupport::Bunzip2(bytes.substr(12), records[0].size() + 64, &body));
  ASSERT_GE(body.size(), records[0].size() + 1);
  EXPECT_LE(body.size(), records[0].size() + 13);
  EXPECT_EQ(body.substr(0, records[0].size()), records[0]);
}

TEST(Version, Arguments) {
  VersionCode v;
  EXPECT_TRUE(nolkpack::ParseVersionArgument("2.1.15", &v));
  EXPECT_EQ(v, 0x0201000Fu);
  EXPECT_TRUE(nolkpack::ParseVersionArgument("255.255.65535", &v));
  for (const char* bad : {"", "1.2", "1.2.3.4", "256.0.0", "1.256.0", "1.0.65536", "a.b.c", "1..2", "-1.0.0", "1.0.0 "})
    EXPECT_FALSE(nolkpack::ParseVersionArgument(bad, &v)) << bad;
}

#ifndef _WIN32
// The program itself, as an operator runs it.
class Program : public ::testing::Test {
 protected:
  testsupport::ProcessResult Run(std::vector<std::string> args, double timeoutSeconds = 60) {
    testsupport::ProcessOptions o;
    o.argv = {std::string(std::getenv("NOLK_BIN_DIR")) + "/nolkpack"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.timeoutSeconds = timeoutSeconds;
    return testsupport::RunProcess(o);
  }
  std::string Path(const std::string& name) { return dir_.Path() + "/" + name; }
  testsupport::TempDir dir_;
};

TEST_F(Program, BuildListAndLine) {
  WriteTree(Path("old"), {{"data/", ""},
                          {"data/a.txt", "one"},
                          {"data/gone/", ""},
                          {"data/gone/g", "g"},
                          {"var/gac/update.ini", "[Setting]\r\nVersion=3.2.0\r\n"}});
  WriteTree(Path("new"), {{"data/", ""},
                          {"data/a.txt", "two"},
                          {"data/更新/", ""},
                          {"data/更新/b", "b"},
                          {"var/gac/update.ini", "[Setting]\r\nVersion=3.2.1\r\n"}});
  auto r = Run({"build", Path("old"), Path("new"), "--version", "3.2.1", "-o", Path("p.pkg")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Run({"list", Path("p.pkg")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("version 3.2.1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ADDF data/a.txt dataLength=3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ADDF " + platform::HostPath("data/更新/b") + " dataLength=1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ADDF data/DelFileList.dat dataLength=37"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("4 records"), std::string::npos) << r.out;

  r = Run({"line", Path("p.pkg"), "--url", "http://127.0.0.1/package/p.pkg"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string md5 = testsupport::ReferenceMd5(Path("p.pkg"));
  EXPECT_EQ(r.out, "3.2.1 http://127.0.0.1/package/p.pkg " + md5 + "\n");

  // The body is one bzip2 stream that the standard command takes.
  testsupport::ProcessOptions bz;
  bz.argv = {"/bin/sh", "-c", "tail -c +13 '" + Path("p.pkg") + "' | bzip2 -dc | wc -c"};
  auto b = testsupport::RunProcess(bz);
  EXPECT_EQ(b.exitCode, 0) << b.err;
  EXPECT_GT(std::atoi(b.out.c_str()), 0);
}

TEST_F(Program, BadArgumentsAndTrees) {
  WriteTree(Path("t"), {{"a", "1"}, {"var/gac/update.ini", "[Setting]\r\nVersion=1.2.2\r\n"}});
  WriteTree(Path("n"), {{"a", "1"}, {"var/gac/update.ini", "[Setting]\r\nVersion=1.2.3\r\n"}});
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{}, 2, "no subcommand"},
      {{"pack"}, 2, "unknown subcommand"},
      {{"build", Path("t"), Path("t"), "-o", Path("x")}, 2, "--version"},
      {{"build", Path("t"), Path("t"), "--version", "1.2", "-o", Path("x")}, 2, "bad version"},
      {{"build", Path("t"), Path("t"), "--version", "1.2.3"}, 2, "-o FILE"},
      {{"build", Path("t"), "--version", "1.2.3", "-o", Path("x")}, 2, "OLD_DIR and NEW_DIR"},
      {{"build", Path("t"), Path("none"), "--version", "1.2.3", "-o", Path("x")}, 1, "NEW_DIR"},
      {{"build", Path("t"), Path("n"), "--version", "1.2.3", "-o", Path("no/such/x")}, 1, "cannot write"},
      {{"build", Path("t"), Path("t"), "--bogus"}, 2, "unknown option"},
      {{"list"}, 2, "list takes FILE"},
      {{"list", Path("t/a")}, 1, "not an update package"},
      {{"list", Path("missing")}, 1, "cannot open"},
      {{"line", Path("t/a")}, 2, "--url"},
      {{"line", Path("t/a"), "--url", "http://127.0.0.1/a b"}, 1, "blanks"},
      {{"line", Path("t/a"), "--url", "http://127.0.0.1/p.pkg"}, 1, "not an update package"},
  };
  for (const Case& c : cases) {
    auto r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.code) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_FALSE(testsupport::Exists(Path("x")));
}

// What an operator gets wrong, said so plainly, with nothing written where it must not be.
TEST_F(Program, MistakesNamedPlainly) {
  const std::string ini = "var/gac/update.ini";
  WriteTree(Path("t"), {{"a", "1"}, {ini, "[Setting]\r\nVersion=1.2.2\r\n"}});
  WriteTree(Path("n"), {{"a", "2"}, {ini, "[Setting]\r\nVersion=1.2.3\r\n"}});
  WriteTree(Path("d"), {{"a", "1"}, {ini + "/", ""}});  // update.ini a folder
  ASSERT_EQ(Run({"build", Path("t"), Path("n"), "--version", "1.2.3", "-o", Path("p.pkg")}).exitCode, 0);
  const std::string md5 = testsupport::ReferenceMd5(Path("p.pkg"));
  std::string upper = md5;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  testsupport::WriteFile(Path("list.txt"), "1.2.3 http://127.0.0.1/p.pkg " + upper + "\r\n");
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(Path("n/p2.pkg"), Path("link.pkg"));  // dangling, into NEW_DIR
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"build", Path("t"), Path("n"), "--version", "1.2.3", "-o", Path("fifo")}, "not a file"},
      {{"build", Path("t"), Path("n"), "--version", "1.2.3", "-o", Path("link.pkg")}, "inside NEW_DIR"},
      {{"build", Path("none"), Path("n"), "--version", "1.2.3", "-o", Path("x")}, "OLD_DIR"},
      {{"build", Path("t"), Path("d"), "--version", "1.2.3", "-o", Path("x")}, "NEW_DIR's var/gac/update.ini is a folder"},
      {{"verify", Path("d"), Path("n"), Path("p.pkg")}, "OLD_DIR's var/gac/update.ini is a folder"},
      {{"verify", "--list", Path("list.txt"), Path("p.pkg")}, "must be lower case"},
  };
  for (const auto& c : cases) {
    auto r = Run(c.args, 20);
    EXPECT_EQ(r.exitCode, 1) << ::testing::PrintToString(c.args) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << ::testing::PrintToString(c.args) << r.out << r.err;
  }
  EXPECT_FALSE(testsupport::Exists(Path("n/p2.pkg")));
  EXPECT_FALSE(testsupport::Exists(Path("x")));
}
#endif

}  // namespace
