// Writing installation files as players have them: long paths, files held open by a game,
// executables, a full disk, leftovers of a killed run, an installation below a "software" folder,
// and the cause codes the boxes show.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "package/addf_writer.h"
#include "package/bz_update_helper.h"
#include "package/streamed_section.h"
#include "package/patched_copy.h"
#include "package/update_sec.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/stdio_file.h"
#include "tests/support/package_bytes.h"
#include "tests/support/sections_fixture.h"
#include "tests/support/test_files.h"

using testsupport::Record;

namespace {

// MFC's CFileException::OsErrorToException, row by row as the reference table gives it.
const struct {
  long osError;
  int cause;
} kMfcCauses[] = {
    {0, 0},     // NO_ERROR
    {2, 2},     // ERROR_FILE_NOT_FOUND
    {3, 3},     // ERROR_PATH_NOT_FOUND
    {4, 4},     // ERROR_TOO_MANY_OPEN_FILES
    {5, 5},     // ERROR_ACCESS_DENIED
    {6, 2},     // ERROR_INVALID_HANDLE
    {11, 6},    // ERROR_BAD_FORMAT
    {12, 5},    // ERROR_INVALID_ACCESS
    {15, 3},    // ERROR_INVALID_DRIVE
    {16, 7},    // ERROR_CURRENT_DIRECTORY
    {17, 3},    // ERROR_NOT_SAME_DEVICE
    {18, 2},    // ERROR_NO_MORE_FILES
    {19, 5},    // ERROR_WRITE_PROTECT
    {20, 10},   // ERROR_BAD_UNIT
    {21, 10},   // ERROR_NOT_READY
    {22, 10},   // ERROR_BAD_COMMAND
    {23, 10},   // ERROR_CRC
    {24, 9},    // ERROR_BAD_LENGTH
    {25, 9},    // ERROR_SEEK
    {26, 6},    // ERROR_NOT_DOS_DISK
    {27, 9},    // ERROR_SECTOR_NOT_FOUND
    {29, 5},    // ERROR_WRITE_FAULT
    {30, 9},    // ERROR_READ_FAULT
    {32, 11},   // ERROR_SHARING_VIOLATION
    {33, 12},   // ERROR_LOCK_VIOLATION
    {34, 3},    // ERROR_WRONG_DISK
    {36, 4},    // ERROR_SHARING_BUFFER_EXCEEDED
    {38, 14},   // ERROR_HANDLE_EOF
    {39, 13},   // ERROR_HANDLE_DISK_FULL
    {52, 3},    // ERROR_DUP_NAME
    {53, 3},    // ERROR_BAD_NETPATH
    {54, 5},    // ERROR_NETWORK_BUSY
    {55, 3},    // ERROR_DEV_NOT_EXIST
    {57, 10},   // ERROR_ADAP_HDW_ERR
    {58, 5},    // ERROR_BAD_NET_RESP
    {59, 10},   // ERROR_UNEXP_NET_ERR
    {60, 6},    // ERROR_BAD_REM_ADAP
    {62, 8},    // ERROR_NO_SPOOL_SPACE
    {64, 5},    // ERROR_NETNAME_DELETED
    {65, 5},    // ERROR_NETWORK_ACCESS_DENIED
    {66, 6},    // ERROR_BAD_DEV_TYPE
    {67, 3},    // ERROR_BAD_NET_NAME
    {68, 4},    // ERROR_TOO_MANY_NAMES
    {70, 3},    // ERROR_SHARING_PAUSED
    {71, 5},    // ERROR_REQ_NOT_ACCEP
    {80, 5},    // ERROR_FILE_EXISTS
    {82, 5},    // ERROR_CANNOT_MAKE
    {85, 3},    // ERROR_ALREADY_ASSIGNED
    {86, 5},    // ERROR_INVALID_PASSWORD
    {88, 10},   // ERROR_NET_WRITE_FAULT
    {107, 2},   // ERROR_DISK_CHANGE
    {108, 12},  // ERROR_DRIVE_LOCKED
    {111, 3},   // ERROR_BUFFER_OVERFLOW
    {112, 13},  // ERROR_DISK_FULL
    {113, 4},   // ERROR_NO_MORE_SEARCH_HANDLES
    {114, 6},   // ERROR_INVALID_TARGET_HANDLE
    {117, 10},  // ERROR_INVALID_CATEGORY
    {123, 3},   // ERROR_INVALID_NAME
    {124, 3},   // ERROR_INVALID_LEVEL
    {125, 3},   // ERROR_NO_VOLUME_LABEL
    {131, 9},   // ERROR_NEGATIVE_SEEK
    {132, 9},   // ERROR_SEEK_ON_DEVICE
    {144, 3},   // ERROR_DIR_NOT_ROOT
    {145, 7},   // ERROR_DIR_NOT_EMPTY
    {154, 3},   // ERROR_LABEL_TOO_LONG
    {161, 3},   // ERROR_BAD_PATHNAME
    {167, 12},  // ERROR_LOCK_FAILED
    {170, 5},   // ERROR_BUSY
    {182, 6},   // ERROR_INVALID_ORDINAL
    {183, 5},   // ERROR_ALREADY_EXISTS
    {191, 6},   // ERROR_INVALID_EXE_SIGNATURE
    {193, 6},   // ERROR_BAD_EXE_FORMAT
    {206, 3},   // ERROR_FILENAME_EXCED_RANGE
    {208, 3},   // ERROR_META_EXPANSION_TOO_LONG
    {267, 3},   // ERROR_DIRECTORY
    {995, 10},  // ERROR_OPERATION_ABORTED
    {996, 10},  // ERROR_IO_INCOMPLETE
    {997, 10},  // ERROR_IO_PENDING
    {999, 5},   // ERROR_SWAPERROR
};

TEST(FileCauses, EveryRowOfMfcsTableAndGenericForTheRest) {
  for (const auto& row : kMfcCauses)
    EXPECT_EQ(platform::CFileException::OsErrorToException(row.osError), row.cause) << "OS error " << row.osError;
  // Codes outside the table, among them those Linux errors map onto, are generic.
  for (long other : {1L, 7L, 8L, 31L, 50L, 87L, 109L, 1117L, 1921L, -1L, 100000L})
    EXPECT_EQ(platform::CFileException::OsErrorToException(other), 1) << "OS error " << other;
}

using FileWrites = testsupport::SectionsTest;

// A folder below root_ whose path, with "/" and a file name of nameLength, is exactly total long.
std::string FolderForTotal(const std::string& root, std::size_t total, std::size_t nameLength) {
  std::string rel = "data";
  while (root.size() + rel.size() + 1 + nameLength < total) {
    std::size_t room = total - (root.size() + rel.size() + 1 + nameLength);
    // Components of at most 200 bytes; a last one of at least 2.
    std::size_t part = room - 1 > 200 ? 200 : room - 1;
    if (room - 1 - part == 1) --part;
    rel += "/" + std::string(part, 'f');
  }
  return rel;
}

TEST_F(FileWrites, AddfAtTheLengthLimitOfPaths) {
#ifdef _WIN32
  const std::size_t limit = 259;  // MAX_PATH without its NUL
#else
  const std::size_t limit = 4095;  // PATH_MAX without its NUL
#endif
  // A long file name whose path is close to the limit: the temporary name is shorter.
  const std::string longName(40, 'n');
  const std::string folder = FolderForTotal(root_, limit - 4, longName.size());
  const std::string rel = folder + "/" + longName;
  ASSERT_EQ((root_ + rel).size(), limit - 4);
  ASSERT_TRUE(Apply(Record("FDDA", 0, rel, "long path")));
  EXPECT_EQ(Read(rel), "long path");

  // A short name at the very limit: no temporary path fits, the target is written in place.
  const std::string shortFolder = FolderForTotal(root_, limit, 1);
  const std::string shortRel = shortFolder + "/a";
  ASSERT_EQ((root_ + shortRel).size(), limit);
  ASSERT_TRUE(Apply(Record("FDDA", 0, shortRel, "first")));
  ASSERT_TRUE(Apply(Record("FDDA", 0, shortRel, "second")));
  EXPECT_EQ(Read(shortRel), "second");
  EXPECT_TRUE(boxes_.empty()) << boxes_[0].text;

#ifndef _WIN32
  // A file name of 250 bytes, near the 255 a folder entry can hold.
  const std::string name250 = "data/" + std::string(250, 'x');
  ASSERT_TRUE(Apply(Record("FDDA", 0, name250, "250")));
  EXPECT_EQ(Read(name250), "250");
#endif
  EXPECT_TRUE(boxes_.empty());
}

// Paths far past the old limit of 259 characters: folders made, files added, changed, found and
// removed, on both builds.
TEST_F(FileWrites, PathsPastTheOldLengthLimit) {
  for (std::size_t total : {300u, 420u, 1200u}) {
    SCOPED_TRACE(total);
    const std::string folder = FolderForTotal(root_, total, 5), rel = folder + "/x.dat";
    ASSERT_EQ((root_ + rel).size(), total);
    ASSERT_TRUE(Apply(Record("FDDA", 0, rel, "second!")) && Apply(Record("IDOM", 9, rel, testsupport::Run(1, "EC"))));
    std::FILE* in = platform::OpenStdFile(root_ + rel, "rb");
    char got[16] = {0};
    ASSERT_TRUE(in);
    EXPECT_EQ(std::string(got, std::fread(got, 1, sizeof got, in)), std::string("sECond!\0\0", 9));
    std::fclose(in);
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"x.dat"});
    EXPECT_TRUE(platform::SetFileReadOnly(root_ + rel) && !platform::DeleteFile(root_ + rel));
    EXPECT_TRUE(platform::SetFileAttributesNormal(root_ + rel) && platform::DeleteFile(root_ + rel));
    EXPECT_TRUE(platform::RemoveDirectory(root_ + folder) && platform::GetPathKind(root_ + folder) == platform::PathKind::kNone);
  }
  EXPECT_TRUE(boxes_.empty()) << boxes_[0].text;
}

// A MODI record applied to a copy (for the program's own running files) gives what its runs give in
// place: runs between old bytes, past the end, the file cut and extended.
TEST_F(FileWrites, PatchedCopiesMatchTheRecordsRuns) {
  using testsupport::Run;
  const struct {
    std::string old, runs;
    std::uint32_t length;
    std::string want;
  } cases[] = {{"abcdefgh", Run(1, "XY") + Run(2, "Z"), 8, "aXYdeZgh"}, {"abc", Run(5, "Q"), 8, std::string("abc\0\0Q\0\0", 8)},
               {"abcdef", Run(0, "x"), 3, "xbc"}, {"abcdef", Run(2, "") + Run(0, "pq"), 9, std::string("abpqef\0\0\0", 9)}};
  for (const auto& c : cases) {
    testsupport::WriteFile(root_ + "data/old.bin", c.old);
    AddfWriter copy;
    ASSERT_TRUE(copy.Open(root_ + "data/new.bin"));
    ASSERT_TRUE(WritePatchedCopy(root_ + "data/old.bin", reinterpret_cast<const unsigned char*>(c.runs.data()),
                                 static_cast<std::uint32_t>(c.runs.size()), c.length, &copy));
    ASSERT_TRUE(copy.Commit());
    EXPECT_EQ(Read("data/new.bin"), c.want) << c.want;
  }
}

TEST_F(FileWrites, AddfIntoAFileAGameHoldsSharingWrites) {
  testsupport::WriteFile(root_ + "data/shared.dat", "old content");
  // Read by the game, which lets others write but not rename or delete it.
  platform::CFile game;
  ASSERT_TRUE(game.Open(root_ + "data/shared.dat", platform::CFile::modeRead | platform::CFile::shareDenyNone));
  EXPECT_TRUE(Apply(Record("FDDA", 0, "data/shared.dat", "new")));
  EXPECT_TRUE(boxes_.empty()) << boxes_[0].text;
#ifdef _WIN32
  // Written in place: the game's handle reads the new content.
  char buf[16] = {0};
  game.Seek(0, platform::CFile::begin);
  EXPECT_EQ(std::string(buf, game.Read(buf, sizeof buf)), "new");
#endif
  game.Abort();
  EXPECT_EQ(Read("data/shared.dat"), "new");
  EXPECT_EQ(Entries("data"), std::vector<std::string>{"shared.dat"});
}

TEST_F(FileWrites, LeftoversOfAKilledRunAreReusedAndCancelLeavesNone) {
  // A killed run left its temporary file; the next ADDF in that folder takes it over.
  testsupport::WriteFile(root_ + "data/" + kAddfTempName, "half of a file");
  testsupport::WriteFile(root_ + "data/a.dat.nolkpatch-new", "left by the program before");
  ASSERT_TRUE(Apply(Record("FDDA", 0, "data/a.dat", "whole")));
  EXPECT_EQ(Read("data/a.dat"), "whole");
  EXPECT_EQ(Entries("data"), std::vector<std::string>{"a.dat"});

  // A target of that very name is written, in place.
  ASSERT_TRUE(Apply(Record("FDDA", 0, std::string("data/own/") + kAddfTempName, "mine")));
  EXPECT_EQ(Read(std::string("data/own/") + kAddfTempName), "mine");

  // In pieces, then given up: nothing of it stays.
  AddfWriter writer;
  ASSERT_TRUE(writer.Open(root_ + "data/b.dat"));
  writer.Write("ab", 2);
  writer.Write("cd", 2);
  writer.Abort();
  EXPECT_EQ(platform::GetPathKind(root_ + "data/b.dat"), platform::PathKind::kNone);
  ASSERT_TRUE(writer.Open(root_ + "data/a.dat"));
  for (const std::string piece : {"12", "", "345", "6"})
    writer.Write(piece.data(), static_cast<std::uint32_t>(piece.size()));
  ASSERT_TRUE(writer.Commit());
  EXPECT_EQ(Read("data/a.dat"), "123456");
  EXPECT_EQ(Entries("data").size(), 2u);
}

TEST_F(FileWrites, SoftwareRuleLooksOnlyBelowTheRoot) {
  // The game is installed below a folder named software: its files are never passed over.
  root_ = dir_.Path() + "/software/game/";
  testsupport::MakeDirs(root_ + "data");
  testsupport::MakeDirs(root_ + "bin/software");
  testsupport::WriteFile(root_ + "data/micro_client.ini", "x");
  testsupport::WriteFile(root_ + "data/held.dat", "held");
  testsupport::WriteFile(root_ + "bin/software/tool.exe", "held");
  platform::CFile holder, tool;
  ASSERT_TRUE(holder.Open(root_ + "data/held.dat", platform::CFile::modeWrite));
  ASSERT_TRUE(tool.Open(root_ + "bin/software/tool.exe", platform::CFile::modeWrite));
  EXPECT_FALSE(Apply(Record("IDOM", 4, "data/held.dat", testsupport::Run(0, "new!"))));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].text.find("data/held.dat]失败!错误码：11 32"), std::string::npos) << boxes_[0].text;
  // The game's own software folder keeps its rule.
  boxes_.clear();
  EXPECT_TRUE(Apply(Record("IDOM", 4, "bin/software/tool.exe", testsupport::Run(0, "new!"))));
  EXPECT_TRUE(boxes_.empty());
}

#ifndef _WIN32
TEST_F(FileWrites, AddfKeepsTheReplacedFilesPermissionBits) {
  const std::string script = root_ + "bin/game.sh";
  testsupport::MakeDirs(root_ + "bin");
  testsupport::WriteFile(script, "#!/bin/sh\necho old\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  ASSERT_TRUE(Apply(Record("FDDA", 0, "bin/game.sh", "#!/bin/sh\necho new\n")));
  struct stat st;
  ASSERT_EQ(stat(script.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  // A read-only one loses only its read-only state, as the attribute goes on Windows.
  ASSERT_EQ(chmod(script.c_str(), 0550), 0);
  ASSERT_TRUE(Apply(Record("FDDA", 0, "bin/game.sh", "#!/bin/sh\necho newer\n")));
  ASSERT_EQ(stat(script.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(Read("bin/game.sh"), "#!/bin/sh\necho newer\n");
}

TEST_F(FileWrites, AFullDiskNamesTheTargetAndLeavesItWhole) {
  testsupport::WriteFile(root_ + "data/big.dat", "old content");
  // A file-size limit makes the writes fail as a full disk does.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 64 * 1024;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool raised = false;
  try {
    Apply(Record("FDDA", 0, "data/big.dat", std::string(256 * 1024, 'b')));
  } catch (const platform::CFileException& e) {
    raised = true;
    EXPECT_EQ(e.m_strFileName, root_ + "data/big.dat");
    EXPECT_EQ(e.m_cause, platform::CFileException::diskFull);
    EXPECT_EQ(e.GetErrorMessage(), "访问文件 " + root_ + "data/big.dat 时磁盘已满。");
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(raised);
  EXPECT_EQ(Read("data/big.dat"), "old content");
  EXPECT_EQ(Entries("data"), std::vector<std::string>{"big.dat"});
}

TEST_F(FileWrites, ARunningProgramShowsMfcsCauseForBusy) {
  // Linux refuses to write a program that runs (ETXTBSY), as Windows does with ERROR_BUSY.
  testsupport::MakeDirs(root_ + "bin");
  const std::string game = root_ + "bin/game";
  std::string sleepBytes;
  ASSERT_TRUE(testsupport::ReadFile("/bin/sleep", &sleepBytes));
  testsupport::WriteFile(game, sleepBytes);
  ASSERT_EQ(chmod(game.c_str(), 0755), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(game.c_str(), "game", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the child runs the program, not the test binary any more.
  for (int i = 0; i < 200; ++i) {
    char exe[4096] = {0};
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    if (n > 0 && std::string(exe, static_cast<std::size_t>(n)) == game) break;
    usleep(10000);
  }
  EXPECT_FALSE(Apply(Record("IDOM", 4, "bin/game", testsupport::Run(0, "new!"))));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].text.find("bin/game]失败!错误码：5 170\n"), std::string::npos) << boxes_[0].text;
}
#endif

}  // namespace

// Records large enough to be streamed, cut off inside their data or whole: a broken one leaves the
// old file as it was (also where it is written in place), no new folders, its read-only attribute
// and no spool; a whole one writes what it holds.
TEST_F(FileWrites, StreamedRecordsTouchNothingBeforeTheyAreComplete) {
#ifdef _WIN32
  const std::size_t limit = 259;
#else
  const std::size_t limit = 4095;
  const std::string spools = dir_.Path() + "/spools";
  testsupport::MakeDirs(spools);
  setenv("TMPDIR", spools.c_str(), 1);
#endif
  std::string big;
  for (std::uint32_t i = 0; big.size() < (4u << 20) + 4096; ++i) big += std::to_string(i * 2654435761u) + ",";
  const std::uint32_t half = static_cast<std::uint32_t>(big.size() / 2);
  const std::string old(12000, 'o');
  const std::string runs = testsupport::Run(100, big.substr(0, half)) + testsupport::Run(1000, big.substr(half));
  const std::string modiResult = old.substr(0, 100) + big.substr(0, half) + std::string(1000, '\0') +
                                 big.substr(half) + std::string(500, '\0');
  // A last head that claims bytes the record does not hold: refused whole.
  const std::string overrun = runs + testsupport::Le32(0) + testsupport::Le32(100);
  const struct {
    const char* what;
    std::string rel;
    bool modi, inTheWay, readOnly, invalid;
  } cases[] = {
      {"beside", "a/x.dat", false, false, false, false},
      {"in place", "b/x.dat", false, true, false, false},
      {"at the length limit", FolderForTotal(root_, limit - 2, 1) + "/a", false, false, false, false},
      {"read-only", "c/x.dat", false, false, true, false},
      {"new folders", "d/new/deeper/x.dat", false, false, false, false},
      {"modi", "e/x.dat", true, false, false, false},
      {"modi read-only", "f/x.dat", true, false, true, false},
      {"modi overrun", "g/x.dat", true, false, true, true},
  };
  for (const auto& c : cases) {
    const std::string target = root_ + c.rel;
    const std::string folder = target.substr(0, target.rfind('/'));
    const bool fresh = c.rel.find("/new/") != std::string::npos;
    testsupport::MakeDirs(fresh ? root_ + "d" : folder);
    if (!fresh) testsupport::WriteFile(target, old);
    if (c.inTheWay) testsupport::MakeDirs(folder + "/" + kAddfTempName);
    ASSERT_TRUE(!c.readOnly || platform::SetFileReadOnly(target));
    const std::string record = c.modi ? Record("IDOM", static_cast<std::uint32_t>(modiResult.size()), c.rel,
                                               c.invalid ? overrun : runs)
                                      : Record("FDDA", 0, c.rel, big);
    std::string pkg = testsupport::PackageBytes(7, record);
    for (bool cut : {true, false}) {
      const std::string path = dir_.Path() + "/p.pkg";
      testsupport::WriteFile(path, cut ? pkg.substr(0, pkg.size() * 3 / 4) : pkg);
      BzUpdateHelper reader(2);
      ASSERT_TRUE(reader.Open(7, "p.pkg", path)) << c.what;
      const unsigned char* head = reader.ReadSectionHead();
      ASSERT_TRUE(head && IsStreamedSection(head)) << c.what;
      bool readFailed = false;
      const bool written = ApplyStreamedSection(reader, "p.pkg", root_, head, nullptr, &readFailed);
      EXPECT_EQ(written, !cut && !c.invalid) << c.what;
      EXPECT_EQ(readFailed, cut) << c.what;
      if (cut || c.invalid) {
        const std::string text = cut ? reader.GetErrorText() : (boxes_.empty() ? "" : boxes_.back().text);
        EXPECT_EQ(text, cut ? "读取UpdateSec Data出错" : "p.pkg含有不合法的数据节!") << c.what;
        if (fresh) {
          EXPECT_FALSE(testsupport::Exists(root_ + "d/new")) << c.what;
        } else {
          EXPECT_TRUE(Read(c.rel) == old) << c.what << ": " << Read(c.rel).size() << " bytes";
          EXPECT_EQ(platform::IsFileReadOnly(target), c.readOnly) << c.what;
        }
      } else {
        EXPECT_TRUE(Read(c.rel) == (c.modi ? modiResult : big)) << c.what << ": " << Read(c.rel).size() << " bytes";
      }
      EXPECT_EQ(platform::GetPathKind(folder + "/" + kAddfTempName),
                c.inTheWay ? platform::PathKind::kDirectory : platform::PathKind::kNone)
          << c.what;
#ifndef _WIN32
      EXPECT_TRUE(testsupport::Exists(spools) && Entries("../spools").empty()) << c.what;
#endif
    }
  }
  EXPECT_EQ(boxes_.size(), 1u);
}
