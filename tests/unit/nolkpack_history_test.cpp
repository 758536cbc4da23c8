// nolkpack over a release history: names compared as Windows compares them, a list record in every
// package, carried-over lines normalised, folders partly brought back, refusals and version checks,
// and verify on packages made the old way.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "package/bz_update_helper.h"
#include "package/update_sec.h"
#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_tree.h"
#include "tests/support/reference_md5.h"
#include "tests/support/test_files.h"
#include "tools/nolkpack/pack_build.h"
#include "tools/nolkpack/pack_verify.h"
#include "tools/nolkpack/program_files_check.h"
#include "update/version.h"

namespace {

using testsupport::Exists;
using testsupport::WriteFile;

const char kList[] = "data/DelFileList.dat";

class History : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return dir_.Path() + "/" + name; }
  // A release: files (host paths) and its version file.
  void Release(const std::string& name, const std::string& version, const std::vector<std::string>& files) {
    testsupport::MakeDirs(Path(name) + "/var/gac");
    WriteFile(Path(name) + "/var/gac/update.ini", testsupport::UpdateIniText(version));
    for (const std::string& f : files) {
      testsupport::MakeDirs(Path(name) + "/" + f.substr(0, f.rfind('/')));
      WriteFile(Path(name) + "/" + f, f + version);
    }
  }
  bool Build(const std::string& from, const std::string& to, const std::string& version, std::string* error) {
    nolkpack::BuildStats stats;
    return nolkpack::BuildPackage(Path(from), Path(to), ParseVersionCode(version), Path(to + ".pkg"), &stats, error);
  }
  // The obsolete-file list the package of release `to` carries.
  std::string PackagedList(const std::string& to, const std::string& version) {
    BzUpdateHelper reader;
    EXPECT_TRUE(reader.Open(ParseVersionCode(version), "p", Path(to + ".pkg")));
    while (const unsigned char* s = reader.ReadSection())
      if (std::string(SectionName(s)) == kList)
        return std::string(reinterpret_cast<const char*>(SectionData(s)), SectionDataLength(s));
    ADD_FAILURE() << "no list record in " << to;
    return "";
  }
  // Applies the packages of the named releases to a copy of release `from`.
  std::string Play(const std::string& from, const std::vector<std::pair<std::string, std::string>>& chain) {
    const std::string game = Path("play-" + from);
    testsupport::CopyTree(Path(from), game);
    std::vector<nolkpack::PackageToApply> packages;
    for (const auto& c : chain) packages.push_back({Path(c.first + ".pkg"), ParseVersionCode(c.second)});
    std::vector<std::vector<std::string>> names;
    std::string failure;
    EXPECT_TRUE(nolkpack::ApplyLikeTheClient(packages, game, game + "/bin/patch", &names, &failure)) << failure;
    return game;
  }
  testsupport::TempDir dir_;
};

// On Windows the old spelling is the new file: listing it would delete what the package just wrote.
TEST_F(History, CaseOnlyRenamesListNothing) {
  Release("r1", "1.0.1", {"data/Foo.txt", "data/Models/a.mdl", "data/keep"});
  Release("r2", "1.0.2", {"data/foo.txt", "data/models/a.mdl", "data/keep"});
  std::string error;
  ASSERT_TRUE(Build("r1", "r2", "1.0.2", &error)) << error;
  EXPECT_EQ(PackagedList("r2", "1.0.2"), "");
  // The new spellings are written whole, so a client on a case-sensitive system has them too.
  const std::string game = Play("r1", {{"r2", "1.0.2"}});
  EXPECT_TRUE(Exists(game + "/data/foo.txt"));
  EXPECT_TRUE(Exists(game + "/data/models/a.mdl"));
}

// A file retired by r2 and back in r3: r3's package must replace r2's list even with nothing gone.
TEST_F(History, EveryPackageCarriesAListTrueForItsRelease) {
  Release("r1", "1.0.1", {"data/a", "data/back"});
  Release("r2", "1.0.2", {"data/a"});
  Release("r3", "1.0.3", {"data/a", "data/back"});
  std::string error;
  ASSERT_TRUE(Build("r1", "r2", "1.0.2", &error)) << error;
  EXPECT_EQ(PackagedList("r2", "1.0.2"), "..\\..\\data\\back\r\n");
  ASSERT_TRUE(Build("r2", "r3", "1.0.3", &error)) << error;
  EXPECT_EQ(PackagedList("r3", "1.0.3"), "");
  std::string kept;
  ASSERT_TRUE(testsupport::ReadFile(Path("r3/") + kList, &kept));
  EXPECT_EQ(kept, "");
  const std::string game = Play("r1", {{"r2", "1.0.2"}, {"r3", "1.0.3"}});
  EXPECT_TRUE(Exists(game + "/data/back"));
}

TEST_F(History, CarriedLinesAreComparedAsClientsResolveThem) {
  Release("r1", "1.0.1", {"data/x.txt", "data/y.txt", "data/z.txt"});
  WriteFile(Path("r1/") + kList,
            "..\\..\\data\\.\\x.txt\r\n..\\..\\data\\\\y.txt\n../..\\DATA/Z.TXT.\r\n..\\..\\data\\gone.txt\r\n"
            "local.log\r\n.\\sub\\..\\other.log\r\n..\\..\\..\\outside\r\n\r\n");
  Release("r2", "1.0.2", {"data/x.txt", "data/y.txt", "data/z.txt"});
  std::string error;
  ASSERT_TRUE(Build("r1", "r2", "1.0.2", &error)) << error;
  // Back again: dropped. Still gone: kept. Relative to the program's folder: kept as they are.
  EXPECT_EQ(PackagedList("r2", "1.0.2"), "..\\..\\data\\gone.txt\r\nlocal.log\r\nother.log\r\n");
}

TEST_F(History, AFolderPartlyBroughtBackLosesTheRest) {
  Release("r1", "1.0.1", {"data/old/a", "data/old/b", "data/old/deep/c", "data/keep"});
  Release("r2", "1.0.2", {"data/keep"});
  Release("r3", "1.0.3", {"data/keep", "data/old/a"});
  std::string error;
  ASSERT_TRUE(Build("r1", "r2", "1.0.2", &error)) << error;
  ASSERT_TRUE(Build("r2", "r3", "1.0.3", &error)) << error;
  EXPECT_EQ(PackagedList("r3", "1.0.3"), "..\\..\\data\\old\\b\r\n..\\..\\data\\old\\deep\\\r\n..\\..\\data\\old\\deep\\c\r\n");
  const std::string game = Play("r1", {{"r2", "1.0.2"}, {"r3", "1.0.3"}});
  EXPECT_TRUE(Exists(game + "/data/old/a"));
  EXPECT_FALSE(Exists(game + "/data/old/b"));
  EXPECT_FALSE(Exists(game + "/data/old/deep"));
  EXPECT_TRUE(Exists(game + "/data/keep"));
}

TEST_F(History, WhatNoPackageCanExpressIsRefused) {
  struct Case {
    std::vector<std::string> r1, r2, r3;
    const char* says;
  };
  const std::vector<Case> cases = {
      // A retired folder back as a file: clients that skipped r2 still have the folder.
      {{"data/x/y"}, {"data/k"}, {"data/x"}, "was a folder in an earlier release"},
      {{"data/x/y"}, {"data/k"}, {"data/X"}, "was a folder in an earlier release"},
#ifndef _WIN32  // such a tree cannot be made where names ignore case
      // Case only, still one name on Windows.
      {{"data/a"}, {"data/Models/a"}, {"data/models/a", "data/MODELS/b"}, "which Windows takes for one name"},
#endif
      {{"data/a"}, {"data/k"}, {"data/K/x"}, "cannot turn a file into a folder"},
      {{"data/a"}, {"data/k"}, {"DATA/k"}, "spells its data folder DATA"},
      // Players could not run the patcher again.
      {{"data/a"}, {"bin/patch/nolkdbghelp.dll", "data/a"}, {"data/a"}, "drops bin/patch/nolkdbghelp.dll"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string p = "c" + std::to_string(n++);
    Release(p + "1", "1.0.1", c.r1);
    Release(p + "2", "1.0.2", c.r2);
    Release(p + "3", "1.0.3", c.r3);
    std::string error;
    ASSERT_TRUE(Build(p + "1", p + "2", "1.0.2", &error)) << error;
    EXPECT_FALSE(Build(p + "2", p + "3", "1.0.3", &error)) << c.says;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_FALSE(Exists(Path(p + "3.pkg")));
  }
}

// An obsolete-file list naming the patcher's own files, however spelled, is a problem.
TEST(ProgramFiles, ListLinesNamingThemAreReported) {
  const std::vector<std::string> named = {"..\\..\\bin\\patch\\nolkpatch.exe",
                                          "..\\..\\BIN\\Patch\\.\\NolkDbgHelp.DLL. ", ".\\nolkdbghelp.dll",
                                          "..\\patch\\nolkpatch.exe"};
  for (const std::string& line : named)
    EXPECT_EQ(nolkpack::ListLinesNamingProgramFiles(nolkpack::ParseObsoleteList(line)).size(), 1u) << line;
  for (const char* line :
       {"..\\..\\bin\\patch\\nolkpatch.exe.bak", "..\\..\\data\\nolkpatch.exe", "..\\other\\nolkdbghelp.dll"})
    EXPECT_EQ(nolkpack::ListLinesNamingProgramFiles(nolkpack::ParseObsoleteList(line)).size(), 0u) << line;
}

// Each refusal names what the operator can do, and leaves no package behind.
TEST_F(History, RefusalsSayWhatToDo) {
  const std::string longLine = "..\\..\\data\\" + std::string(250, 'l') + "\r\n";
  const struct {
    std::vector<std::string> r1, r2;
    std::string r1List;  // written into r1's data/DelFileList.dat when not empty
    const char* out;     // -o, below the test folder
    const char* says;
  } cases[] = {
      // A file retired by r1's list, back as a folder: clients at the release before r1 still have it.
      {{"data/k"}, {"data/k", "data/x/inside.txt"}, "..\\..\\data\\x\r\n", "p.pkg",
       "data/x is a folder, but the obsolete-file list names ..\\..\\data\\x as a file retired earlier"},
      {{"data/k"}, {"data/k", "data/x/inside.txt"}, "..\\..\\data\\x\r\n", "p.pkg", "give the folder another name"},
      {{"data/k"}, {"data/k"}, longLine, "p.pkg", "OLD_DIR's obsolete-file list"},
      {{"data/k"}, {"data/k"}, longLine, "p.pkg", "shorten or remove that line there"},
      {{"data/k"}, {"data/k"}, "", "r2/p.pkg", "lies inside NEW_DIR"},
      {{"data/k"}, {"data/k"}, "", "r1/var/p.pkg", "lies inside OLD_DIR"},
      {{"data/k"}, {"data/k"}, "", "r1", "lies inside OLD_DIR"},
  };
  for (const auto& c : cases) {
    testsupport::RemoveTree(Path("r1"));
    testsupport::RemoveTree(Path("r2"));
    Release("r1", "1.0.1", c.r1);
    Release("r2", "1.0.2", c.r2);
    if (!c.r1List.empty()) WriteFile(Path("r1/") + kList, c.r1List);
    nolkpack::BuildStats stats;
    std::string error;
    EXPECT_FALSE(nolkpack::BuildPackage(Path("r1"), Path("r2"), ParseVersionCode("1.0.2"), Path(c.out), &stats, &error))
        << c.says;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_FALSE(Exists(Path("p.pkg")) || Exists(Path("r2/p.pkg")) || Exists(Path("r1/var/p.pkg")));
  }
}

// A release built again, from another OLD_DIR, is what a first build from that OLD_DIR gives.
TEST_F(History, ARebuildIsAFirstBuild) {
  Release("r1", "1.0.1", {"data/k", "data/a", "sound/s"});
  Release("r2", "1.0.2", {"data/k", "screenshots/1.png", "sound/s"});
  Release("r3", "1.0.3", {"sound/s", "sound/t"});
  testsupport::CopyTree(Path("r3"), Path("fresh"));
  std::string error, first, again, list, firstList;
  ASSERT_TRUE(Build("r1", "r3", "1.0.3", &error)) << error;  // the wrong OLD_DIR
  ASSERT_TRUE(Build("r2", "r3", "1.0.3", &error)) << error;
  ASSERT_TRUE(testsupport::ReadFile(Path("r3.pkg"), &again));
  ASSERT_TRUE(testsupport::ReadFile(Path("r3/") + kList, &list));
  nolkpack::BuildStats stats;
  ASSERT_TRUE(nolkpack::BuildPackage(Path("r2"), Path("fresh"), ParseVersionCode("1.0.3"), Path("first.pkg"), &stats,
                                     &error))
      << error;
  ASSERT_TRUE(testsupport::ReadFile(Path("first.pkg"), &first));
  ASSERT_TRUE(testsupport::ReadFile(Path("fresh/") + kList, &firstList));
  EXPECT_TRUE(first == again) << "the rebuilt package differs";
  // data/ is kept for the list even when the release has nothing else there.
  EXPECT_EQ(list, "..\\..\\data\\k\r\n..\\..\\screenshots\\\r\n..\\..\\screenshots\\1.png\r\n");
  EXPECT_EQ(firstList, list);
}

TEST_F(History, TheVersionFileMustSayTheVersion) {
  Release("r1", "1.0.1", {"data/a"});
  Release("r2", "1.0.2", {"data/a"});
  std::string error;
  EXPECT_FALSE(Build("r1", "r2", "1.0.3", &error));
  EXPECT_NE(error.find("says Version=1.0.2, not 1.0.3"), std::string::npos) << error;
  EXPECT_FALSE(Build("r2", "r2", "1.0.2", &error));
  EXPECT_NE(error.find("OLD_DIR is at version 1.0.2, not older than 1.0.2"), std::string::npos) << error;
  testsupport::RemoveTree(Path("r2/var"));
  EXPECT_FALSE(Build("r1", "r2", "1.0.2", &error));
  EXPECT_NE(error.find("NEW_DIR has no var/gac/update.ini"), std::string::npos) << error;
  EXPECT_FALSE(Exists(Path("r2.pkg")));
  // Without its version an OLD_DIR is no release tree: the version check would be skipped.
  Release("r3", "1.0.3", {"data/a"});
  testsupport::RemoveTree(Path("r1/var"));
  EXPECT_FALSE(Build("r1", "r3", "1.0.3", &error));
  EXPECT_NE(error.find("OLD_DIR has no var/gac/update.ini: give the tree of the release"), std::string::npos) << error;
  EXPECT_FALSE(Exists(Path("r3.pkg")));
}

#ifndef _WIN32
// As an operator runs the program.
class Operator : public History {
 protected:
  testsupport::ProcessResult Run(std::vector<std::string> args) {
    testsupport::ProcessOptions o;
    o.argv = {std::string(std::getenv("NOLK_BIN_DIR")) + "/nolkpack"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
    o.timeoutSeconds = 60;
    return testsupport::RunProcess(o);
  }
};

TEST_F(Operator, NamesSomeClientCannotWriteAreRefused) {
  const std::string longName = "data/" + std::string(249, 'l');
  const struct {
    std::string name;
    const char* says;
  } cases[] = {
      {"data/a:b", "colon"},
      {"data/NUL", "\"NUL\" is a Windows device name"},
      {"data/sub/aux.txt", "\"aux.txt\" is a Windows device name"},
      {"COM1/x", "\"COM1\" is a Windows device name"},
      {"data/lpt9.log", "device name"},
      {"data/x.", "\"x.\" ends in a dot or a blank, which Windows strips"},
      {"data/x ", "ends in a dot or a blank"},
      {"data/.../x", "all-dot component"},
      {"data/a?b", "character Windows does not allow"},
      {"data/\xf0\x9f\x98\x80"
      ".txt", "has no GBK form, so no client can write it: "},
      {longName, "longer than 253 bytes"},
  };
  for (const auto& c : cases) {
    testsupport::RemoveTree(Path("new"));
    Release("old", "1.0.1", {"data/a"});
    Release("new", "1.0.2", {"data/a", c.name});
    auto r = Run({"build", Path("old"), Path("new"), "--version", "1.0.2", "-o", Path("p.pkg")});
    EXPECT_EQ(r.exitCode, 1) << c.name;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_FALSE(Exists(Path("p.pkg")));
  }
  // Legible, in the terminal's encoding, not as GBK bytes.
  testsupport::RemoveTree(Path("new"));
  Release("new", "1.0.2", {"data/a", "data/\xf0\x9f\x98\x80"
      ".txt"});
  auto r = Run({"build", Path("old"), Path("new"), "--version", "1.0.2", "-o", Path("p.pkg")});
  EXPECT_NE(r.err.find(Path("new") + "/data/\xf0\x9f\x98\x80"
      ".txt"), std::string::npos) << r.err;
}

TEST_F(Operator, BuildSaysWhereItKeepsTheList) {
  Release("old", "1.0.1", {"data/a", "data/gone"});
  Release("new", "1.0.2", {"data/a"});
  auto r = Run({"build", Path("old"), Path("new"), "--version", "1.0.2", "-o", Path("p.pkg")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find(Path("new") + "/data/DelFileList.dat: the obsolete-file list of this release; keep it"),
            std::string::npos)
      << r.out;
  std::string list;
  ASSERT_TRUE(testsupport::ReadFile(Path("new/data/DelFileList.dat"), &list));
  EXPECT_EQ(list, "..\\..\\data\\gone\r\n");
}

// Trees as a file system can hold them: a pipe is refused (reading it would wait forever), an empty
// new folder too (no package carries it), a NEW_DIR given through a link is the tree it leads to.
TEST_F(Operator, SpecialTrees) {
  const struct {
    const char* shell;  // run in the test folder after r1 and r2 are written
    const char* newDir;
    int code;
    const char* says;
  } cases[] = {
      {"mkfifo r2/data/pipe", "r2", 1, "not a plain file (a pipe, socket or device): "},
      {"mkdir -p r2/data/empty/deeper", "r2", 1, "new empty folder data/empty: a package carries files only"},
      {"ln -s r2 link", "link", 0, "1 added"},
  };
  for (const auto& c : cases) {
    testsupport::RemoveTree(Path("r2"));
    Release("r1", "1.0.1", {"data/k"});
    Release("r2", "1.0.2", {"data/k", "data/new"});
    testsupport::ProcessOptions sh;
    sh.argv = {"/bin/sh", "-c", "cd '" + dir_.Path() + "' && rm -f link p.pkg && " + c.shell};
    ASSERT_EQ(testsupport::RunProcess(sh).exitCode, 0) << c.shell;
    auto r = Run({"build", Path("r1"), Path(c.newDir), "--version", "1.0.2", "-o", Path("p.pkg")});
    EXPECT_EQ(r.exitCode, c.code) << c.shell << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.shell << ": " << r.out << r.err;
    EXPECT_EQ(Exists(Path("p.pkg")), c.code == 0) << c.shell;
  }
}

// The packages of the old way, kept as a fixture: verify finds each fault they carry. A chain that
// stops (p5 holds a device name) tells of the stop and of what the packages hold, not of the half-way
// tree; without p5 the faults of p2-p4 show in the tree.
TEST_F(Operator, VerifyFindsTheFaultsOfTheOldWay) {
  const std::string f = std::string(std::getenv("NOLK_SOURCE_DIR")) + "/tests/data/old-way";
  const struct {
    std::vector<const char*> packages;
    std::vector<const char*> says;
  } runs[] = {
      {{"p2", "p3", "p4", "p5"},
       {
           "applying stops: p5.pkg: data/aux.txt",
           "p5.pkg writes no obsolete-file list",  // stale list
           "\"aux.txt\" is a Windows device name",  // refused name
           "p5.pkg does not write var/gac/update.ini",  // version
           "var/gac/update.ini of NEW_DIR says 1.0.4, the last package leads to 1.0.5",
       }},
      {{"p2", "p3", "p4"},
       {
           "the obsolete-file list line ..\\..\\data\\Foo.txt removes data/foo.txt on Windows",  // case rename
           "the obsolete-file list line ..\\..\\data\\back.txt removes data/back.txt",           // stale list
           "the obsolete-file list line ..\\..\\data\\x.txt removes data/x.txt",                 // raw line
           "left over after the update: data/old/b.txt",                                       // folder back
       }},
  };
  for (const auto& run : runs) {
    std::vector<std::string> args = {"verify", f + "/1.0.1", f + "/1.0.5"};
    for (const char* p : run.packages) args.push_back(f + "/packages/" + p + ".pkg");
    auto r = Run(args);
    EXPECT_EQ(r.exitCode, 1);
    for (const char* says : run.says) EXPECT_NE(r.out.find(says), std::string::npos) << says << "\n" << r.out;
    EXPECT_NE(r.err.find("problems"), std::string::npos) << r.err;
    if (run.packages.size() == 4) {
      for (const char* followOn : {"missing", "differs", "left over", "note:"})
        EXPECT_EQ(r.out.find(followOn), std::string::npos) << followOn << "\n" << r.out;
    }
  }
}

// A case-only folder rename whose file is later retired: Windows clients end exact (the list line
// removes the old spelling too), case-sensitive ones keep the old spelling: a note, as beside a rename.
TEST_F(Operator, AnOldSpellingRetiredLaterIsANote) {
  Release("r1", "1.0.1", {"data/Models/a.mdl", "data/k"});
  Release("r2", "1.0.2", {"data/models/a.mdl", "data/k"});
  Release("r3", "1.0.3", {"data/k"});
  for (const char* v : {"2", "3"}) {
    auto b = Run({"build", Path(std::string("r") + static_cast<char>(v[0] - 1)), Path(std::string("r") + v), "--version",
                  std::string("1.0.") + v, "-o", Path(std::string("p") + v + ".pkg")});
    ASSERT_EQ(b.exitCode, 0) << b.err;
  }
  auto r = Run({"verify", Path("r1"), Path("r3"), Path("p2.pkg"), Path("p3.pkg")});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("note: old spelling kept on case-sensitive clients, removed on Windows as data/models: data/Models"),
            std::string::npos)
      << r.out;
}

// The update list: `line --list` keeps one line per version in rising order and leaves the rest as it
// is; `verify --list` finds each way a list stops clients.
TEST_F(Operator, TheUpdateList) {
  Release("r1", "1.0.1", {"data/k"});
  Release("r2", "1.0.2", {"data/k", "data/a"});
  Release("r3", "1.0.3", {"data/a"});
  std::string md5[4];
  for (int v = 2; v <= 3; ++v) {
    const std::string pkg = Path("nolk-1.0." + std::to_string(v) + ".pkg");
    auto b = Run({"build", Path("r" + std::to_string(v - 1)), Path("r" + std::to_string(v)), "--version",
                  "1.0." + std::to_string(v), "-o", pkg});
    ASSERT_EQ(b.exitCode, 0) << b.err;
    md5[v] = testsupport::ReferenceMd5(pkg);
  }
  const std::string u2 = "http://127.0.0.1/package/nolk-1.0.2.pkg", u3 = "http://127.0.0.1/package/nolk-1.0.3.pkg";
  const std::string l2 = "1.0.2 " + u2 + " " + md5[2], l3 = "1.0.3 " + u3 + " " + md5[3];
  const std::string list = Path("patchlist.txt");
  auto line = [&](int v, const std::string& url) {
    return Run({"line", Path("nolk-1.0." + std::to_string(v) + ".pkg"), "--url", url, "--list", list});
  };
  // A stale 1.0.3 line (an earlier build) is replaced; 1.0.2 goes before it; directives and CR LF stay.
  WriteFile(list, "#bturl http://127.0.0.1/\r\n1.0.3 " + u3 + " 00000000000000000000000000000000\r\n");
  auto r = line(3, u3);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("the line of 1.0.3 replaced"), std::string::npos) << r.out;
  r = line(2, u2);
  EXPECT_NE(r.out.find("the line of 1.0.2 put before the line of 1.0.3"), std::string::npos) << r.out << r.err;
  const std::string good = "#bturl http://127.0.0.1/\r\n" + l2 + "\r\n" + l3 + "\r\n";
  std::string text;
  ASSERT_TRUE(testsupport::ReadFile(list, &text));
  EXPECT_EQ(text, good);
  // A second line of the version (appended by hand after a rebuild) goes.
  WriteFile(list, good + "1.0.3 " + u3 + " 00000000000000000000000000000000\r\n");
  EXPECT_NE(line(3, u3).out.find("replaced (it named " + u3 + " " + md5[3] + "); a second one removed"),
            std::string::npos);
  ASSERT_TRUE(testsupport::ReadFile(list, &text));
  EXPECT_EQ(text, good);
  // URLs whose last segment is not the package's file name, and a list line cut short, change nothing.
  const struct {
    int version;
    std::string url;
    const char* says;
  } refused[] = {
      {2, "http://127.0.0.1/package/other.pkg", "must be the package's file name nolk-1.0.2.pkg"},
      {2, u2 + "?v=1", "(\"nolk-1.0.2.pkg?v=1\") must be"},
      {2, "nolk-1.0.2.pkg", "has none: give the whole URL, for example http://<package host>/package/nolk-1.0.2.pkg"},
  };
  for (const auto& c : refused) {
    r = line(c.version, c.url);
    EXPECT_EQ(r.exitCode, 1) << c.url;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  WriteFile(list, good + "1.0.4 http://127.0.0.1/nolk-1.0.4.pkg\r\n");
  EXPECT_EQ(line(2, u2).exitCode, 1);
  ASSERT_TRUE(testsupport::ReadFile(list, &text));
  EXPECT_EQ(text, good + "1.0.4 http://127.0.0.1/nolk-1.0.4.pkg\r\n");

  const std::string upper = [&] {
    std::string m = md5[3];
    for (char& c : m) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return m;
  }();
  const struct {
    std::string text;
    std::string says;  // empty: the list is right
  } lists[] = {
      {good, ""},
      {l2 + "\n" + l3, ""},
      {l2 + "\n" + l3 + "\n1.0.3 " + u3 + " " + md5[2] + "\n", "line 3: 1.0.3 is listed again (first on line 2)"},
      {l3 + "\n" + l2 + "\n", "line 2: 1.0.2 comes after 1.0.3"},
      {l2 + "\n1.0.3 " + u3 + " " + md5[2] + "\n", "line 2: 1.0.3: the MD5 " + md5[2] + " is not the package's"},
      {l2 + "\n1.0.3 http://127.0.0.1/other.pkg " + md5[3] + "\n", "clients look for other.pkg, the package is nolk-1.0.3.pkg"},
      {l2 + "\n1.0.3 " + u3 + "?v=1 " + md5[3] + "\n", "clients look for nolk-1.0.3.pkg?v=1"},
      {l2 + "\n1.0.3 http://127.0.0.1/my nolk-1.0.3.pkg " + md5[3] + "\n", "line 2 holds 4 words, not 3"},
      {l3 + "\n", "has no line for 1.0.2 (nolk-1.0.2.pkg)"},
      {l2 + "\n" + l3 + "\n1.0.4 http://127.0.0.1/nolk-1.0.4.pkg " + md5[3] + "\n", "line 3: 1.0.4 is newer than OLD_DIR"},
      {l2 + "\n1.0.3 " + u3 + " " + upper + "\n", "the MD5 " + upper + " must be lower case"},
      {l2 + "\n1.0.3 nolk-1.0.3.pkg " + md5[3] + "\n", "gives clients no file name"},
  };
  for (const auto& c : lists) {
    WriteFile(list, c.text);
    r = Run({"verify", Path("r1"), Path("r3"), Path("nolk-1.0.2.pkg"), Path("nolk-1.0.3.pkg"), "--list", list});
    EXPECT_EQ(r.exitCode, c.says.empty() ? 0 : 1) << c.text << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.text << "\n" << r.out;  // "" is found too
  }
}

// The same history built the new way from plain trees passes, and is the fixed 1.0.5.
TEST_F(Operator, VerifyPassesTheSameHistoryBuiltFromPlainTrees) {
  Release("1.0.1", "1.0.1", {"data/Foo.txt", "data/back.txt", "data/x.txt", "data/old/a.txt", "data/old/b.txt"});
  Release("1.0.2", "1.0.2", {"data/foo.txt", "data/x.txt"});
  Release("1.0.3", "1.0.3", {"data/foo.txt", "data/old/a.txt"});
  Release("1.0.4", "1.0.4", {"data/foo.txt", "data/old/a.txt", "data/x.txt"});
  Release("1.0.5", "1.0.5", {"data/foo.txt", "data/old/a.txt", "data/x.txt", "data/back.txt"});
  std::vector<std::string> args = {"verify", Path("1.0.1"), Path("1.0.5")};
  for (const char* v : {"1.0.2", "1.0.3", "1.0.4", "1.0.5"}) {
    const std::string prev = v == std::string("1.0.2") ? "1.0.1" : std::string("1.0.") + static_cast<char>(v[4] - 1);
    auto b = Run({"build", Path(prev), Path(v), "--version", v, "-o", Path(std::string(v) + ".pkg")});
    ASSERT_EQ(b.exitCode, 0) << b.err;
    args.push_back(Path(std::string(v) + ".pkg"));
  }
  auto r = Run(args);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("verify: 4 packages lead from OLD_DIR to NEW_DIR"), std::string::npos) << r.out;
  // Without the first package the second finds no data/foo.txt to change: the client would stop.
  args.erase(args.begin() + 3);
  r = Run(args);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find(platform::GbkToUtf8("applying stops: 1.0.3.pkg: data/foo.txt: the client stops with: 打开要更新的文件[")),
            std::string::npos)
      << r.out;
}
#endif

}  // namespace
