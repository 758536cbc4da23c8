// Removing what DelFileList.dat names: lines, folders, read-only files, and nothing outside the
// installation, never through a link.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "package/obsolete_files.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/stdio_file.h"
#include "tests/support/test_files.h"

namespace {

using testsupport::Exists;
using testsupport::MakeDirs;
using testsupport::WriteFile;

class Obsolete : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.Path() + "/game";
    start_ = root_ + "/bin/patch";
    MakeDirs(start_);
    MakeDirs(root_ + "/data");
    previous_ = platform::GetCurrentDirectory();
    ASSERT_TRUE(platform::SetCurrentDirectory(start_));
  }
  void TearDown() override { platform::SetCurrentDirectory(previous_); }

  void List(const std::string& text) { WriteFile(root_ + "/data/DelFileList.dat", text); }
  void File(const std::string& rel) {
    std::string::size_type slash = rel.rfind('/');
    if (slash != std::string::npos) MakeDirs(root_ + "/" + rel.substr(0, slash));
    WriteFile(root_ + "/" + rel, "x");
  }
  bool Has(const std::string& rel) { return Exists(root_ + "/" + rel); }

  testsupport::TempDir dir_;
  std::string root_, start_, previous_;
};

TEST_F(Obsolete, NoListRemovesNothing) {
  File("data/a.dat");
  RemoveObsoleteFiles();
  EXPECT_TRUE(Has("data/a.dat"));
}

TEST_F(Obsolete, FilesFoldersAndLines) {
  File("data/a.dat");
  File("data/b.dat");
  File("data/old/x.dat");
  File("data/old/deep/y.dat");
  MakeDirs(root_ + "/data/old/empty");
  File("data/crlf.dat");
  File("data/last.dat");
  File("bin/patch/local.dat");
  File("data/keep.dat");
  List(
      "..\\..\\data\\a.dat\n"
      "\n"
      "..\\..\\data/old\n"
      "..\\..\\data\\nothing-here\n"
      "\r\n"
      "..\\..\\data\\crlf.dat\r\n"
      "local.dat\n"
      "..\\..\\data\\last.dat");
  RemoveObsoleteFiles();
  EXPECT_FALSE(Has("data/a.dat"));
  EXPECT_FALSE(Has("data/old"));
  EXPECT_FALSE(Has("data/crlf.dat"));
  EXPECT_FALSE(Has("data/last.dat"));        // no line end after the last line
  EXPECT_FALSE(Has("bin/patch/local.dat"));  // relative to the program's folder
  EXPECT_TRUE(Has("data/b.dat"));
  EXPECT_TRUE(Has("data/keep.dat"));
  // Empty lines never name the program's own folder.
  EXPECT_TRUE(Has("bin/patch"));
  EXPECT_TRUE(Has("data/DelFileList.dat"));

  // The list stays and a second pass changes nothing.
  RemoveObsoleteFiles();
  EXPECT_TRUE(Has("data/b.dat"));
  EXPECT_TRUE(Has("bin/patch"));
}

TEST_F(Obsolete, LongLinesEndTheList) {
  // "..\\..\\data\\" is 11 bytes; ".\\" pads the line without making the path long.
  std::string pad;
  for (int i = 0; i < 120; ++i) pad += ".\\";
  const std::string line259 = "..\\..\\data\\" + pad + "p259.dat";
  const std::string line260 = "..\\..\\data\\" + pad + "p260.data";
  ASSERT_EQ(line259.size(), 259u);
  ASSERT_EQ(line260.size(), 260u);
  File("data/p259.dat");
  File("data/p260.data");
  File("data/after.dat");
  List(line259 + "\r\n" + line260 + "\n..\\..\\data\\after.dat\n");
  RemoveObsoleteFiles();
  EXPECT_FALSE(Has("data/p259.dat"));
  EXPECT_TRUE(Has("data/p260.data"));
  EXPECT_TRUE(Has("data/after.dat"));
}

TEST_F(Obsolete, ReadOnlyFilesStayWithTheirFolders) {
  File("data/old/a/ro.dat");
  File("data/old/a/rw.dat");
  File("data/old/b/rw.dat");
  ASSERT_TRUE(platform::SetFileReadOnly(root_ + "/data/old/a/ro.dat"));
  List("..\\..\\data\\old\n");
  RemoveObsoleteFiles();
  EXPECT_TRUE(Has("data/old/a/ro.dat"));
  EXPECT_FALSE(Has("data/old/a/rw.dat"));
  EXPECT_FALSE(Has("data/old/b"));
  EXPECT_TRUE(platform::IsFileReadOnly(root_ + "/data/old/a/ro.dat"));
}

TEST_F(Obsolete, NothingOutsideTheInstallation) {
  WriteFile(dir_.Path() + "/outside.dat", "x");
  MakeDirs(dir_.Path() + "/other/sub");
  WriteFile(dir_.Path() + "/other/sub/o.dat", "x");
  File("data/a.dat");
  List(
      "..\\..\\..\\outside.dat\n"
      "..\\..\\..\\other\n"
      "..\\..\n"
      "..\\..\\\n"
      "..\\..\\.\n"
      "..\\..\\data\\..\\..\\other\n"
      "..\\..\\data\\..\n"
      "..\\..\\..\\game\n");
  RemoveObsoleteFiles();
  EXPECT_TRUE(Exists(dir_.Path() + "/outside.dat"));
  EXPECT_TRUE(Exists(dir_.Path() + "/other/sub/o.dat"));
  EXPECT_TRUE(Has("data/a.dat"));
  EXPECT_TRUE(Has("data"));
}

TEST_F(Obsolete, LinksAreRemovedNotFollowed) {
  namespace fs = std::filesystem;
  MakeDirs(dir_.Path() + "/target/sub");
  WriteFile(dir_.Path() + "/target/sub/t.dat", "x");
  MakeDirs(root_ + "/data/old");
  std::error_code ec;
  fs::create_directory_symlink(fs::path(dir_.Path() + "/target"), fs::path(root_ + "/data/old/link"), ec);
  if (ec || platform::GetPathKind(root_ + "/data/old/link") != platform::PathKind::kLink)
    GTEST_SKIP() << "folder links cannot be made here: " << ec.message();
  fs::create_directory_symlink(fs::path(dir_.Path() + "/target"), fs::path(root_ + "/data/link2"), ec);
  fs::create_directory_symlink(fs::path(dir_.Path() + "/target"), fs::path(root_ + "/data/via"), ec);
  File("data/old/f.dat");
  List("..\\..\\data\\old\n..\\..\\data\\link2\n..\\..\\data\\via\\sub\\t.dat\n..\\..\\data\\via\\sub\n");
  RemoveObsoleteFiles();
  EXPECT_FALSE(Has("data/old"));
  EXPECT_EQ(platform::GetPathKind(root_ + "/data/link2"), platform::PathKind::kNone);
  EXPECT_EQ(platform::GetPathKind(root_ + "/data/via"), platform::PathKind::kLink);
  EXPECT_TRUE(Exists(dir_.Path() + "/target/sub/t.dat"));
}

TEST_F(Obsolete, DeletePathTreeAndIsDirectory) {
  File("data/f.dat");
  File("data/d/g.dat");
  EXPECT_TRUE(IsDirectory(root_ + "/data/d"));
  EXPECT_FALSE(IsDirectory(root_ + "/data/f.dat"));
  EXPECT_FALSE(IsDirectory(root_ + "/data/missing"));
  EXPECT_TRUE(DeletePathTree(root_ + "/data/missing"));  // taken as a file
  EXPECT_TRUE(DeletePathTree(root_ + "/data/f.dat"));
  EXPECT_FALSE(Has("data/f.dat"));
  File("data/d/e/ro.dat");
  ASSERT_TRUE(platform::SetFileReadOnly(root_ + "/data/d/e/ro.dat"));
  EXPECT_FALSE(DeletePathTree(root_ + "/data/d"));
  EXPECT_FALSE(Has("data/d/g.dat"));
  EXPECT_TRUE(Has("data/d/e/ro.dat"));
  ASSERT_TRUE(platform::SetFileAttributesNormal(root_ + "/data/d/e/ro.dat"));
  EXPECT_TRUE(DeletePathTree(root_ + "/data/d"));
  EXPECT_FALSE(Has("data/d"));
}

}  // namespace

namespace {

// Lines that resolve to the program's own folder or a folder above it, however Windows would spell
// or trim them, would take the program, its library and its log along: they are passed over.
TEST_F(Obsolete, TheProgramsFolderAndTheFoldersAboveItStay) {
  File("bin/patch/nolkpatch.exe");
  File("bin/patch/nolk.log");
  File("bin/other.dat");
  File("bin/patch/old.dat");
  File("data/a.dat");
  List(
      ".\n"
      ".\\\n"
      "..\\patch\n"
      "..\\..\\bin\\patch\\\n"
      "..\\..\\bin\\patch\n"
      "..\\..\\BIN\\Patch\n"
      "..\\..\\bin\\patch.\n"
      "..\\..\\bin \\patch\n"
      "..\\..\\bin\\.\\patch\\..\\patch\n"
      "..\n"
      "..\\..\\bin\n"
      "..\\..\\bin.\n"
      "..\\..\\ \n"
      "..\\..\\..\\game\\bin\n"
      "old.dat\n"
      "..\\other.dat\n");
  RemoveObsoleteFiles();
  EXPECT_TRUE(Has("bin/patch/nolkpatch.exe"));
  EXPECT_TRUE(Has("bin/patch/nolk.log"));
  EXPECT_TRUE(Has("data/a.dat"));
  // What lies inside those folders can still be listed.
  EXPECT_FALSE(Has("bin/patch/old.dat"));
  EXPECT_FALSE(Has("bin/other.dat"));
}

// 乗 is 0x81 0x5C in GBK: a line naming a folder of that name removes that folder, not a folder cut
// at the byte that looks like a backslash.
TEST_F(Obsolete, LinesAreSplitGbkAware) {
  const std::string jou = "乗";
  ASSERT_EQ(jou, "\x81\x5c");
  // Made and looked at through the platform layer, with GBK paths, as the program sees them.
  const std::string folder = root_ + "/data/" + jou + "x";
  ASSERT_TRUE(platform::MakeDir(folder));
  ASSERT_TRUE(platform::MakeDir(folder + "/sub"));
  std::FILE* f = platform::OpenStdFile(folder + "/sub/f.dat", "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  File("data/keep.dat");
  List("..\\..\\data\\" + jou + "x\\sub\\f.dat\r\n..\\..\\data\\" + jou + "x\r\n");
  RemoveObsoleteFiles();
  EXPECT_EQ(platform::GetPathKind(folder), platform::PathKind::kNone);
  EXPECT_TRUE(Has("data/keep.dat"));
}

// nolkpack verify reads the list as if the program ran in a folder that does not exist.
TEST_F(Obsolete, FromAStartFolderThatNeedNotExist) {
  File("data/a.dat");
  File("data/b.dat");
  List("..\\..\\data\\a.dat\n");
  RemoveObsoleteFilesIn(root_ + "/nowhere/start");
  EXPECT_FALSE(Has("data/a.dat"));
  EXPECT_TRUE(Has("data/b.dat"));
}

}  // namespace
