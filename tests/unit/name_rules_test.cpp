// Names as both the program and nolkpack read them: GBK-aware splitting, device names refused as
// sections, the portable-name rule of packages, and names compared as Windows compares them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/update_sec.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "tests/support/package_bytes.h"
#include "tests/support/test_files.h"
#include "update/name_rules.h"
#include "update/update_list.h"

namespace {

// 乗 is 0x81 0x5C in GBK: its trail byte is a backslash.
const std::string kJou = "\x81\x5c";

TEST(GbkScanning, TrailBytesAreNoSeparators) {
  ASSERT_EQ(std::string("乗"), kJou);
  EXPECT_EQ(FindPathSeparator(kJou + ".pkg"), std::string::npos);
  EXPECT_EQ(FindPathSeparator("ab" + kJou + "\\x"), 4u);
  EXPECT_EQ(FindPathSeparator("a/b\\c", 2), 3u);
  EXPECT_EQ(FindLastPathSeparator("d\\" + kJou), 1u);
  EXPECT_EQ(FindLastPathSeparator(kJou), std::string::npos);
  EXPECT_EQ(SplitPathComponents("data\\" + kJou + "\\x//y"),
            (std::vector<std::string>{"data", kJou, "x", "", "y"}));
  // A lead byte at the very end, or before a byte that cannot follow it, stands alone.
  EXPECT_EQ(SplitPathComponents("a\x81/b"), (std::vector<std::string>{"a\x81", "b"}));
  EXPECT_EQ(SplitPathComponents("a\x81\x7f\\b"), (std::vector<std::string>{"a\x81\x7f", "b"}));
}

TEST(GbkScanning, PackageFileNameKeepsCharactersWithABackslashByte) {
  EXPECT_EQ(PackageFileName("http://127.0.0.1/package/" + kJou + "2.1.15.pkg"), kJou + "2.1.15.pkg");
  EXPECT_EQ(PackageFileName("http://127.0.0.1/package/a\\..\\b.pkg"), "");
  EXPECT_EQ(PackageFileName("http://127.0.0.1/package/c:b.pkg"), "");
}

TEST(DeviceNames, EveryFormWindowsTakesForADevice) {
  for (const char* d : {"CON", "con", "Prn", "AUX", "nul", "NUL.txt", "aux.tar.gz", "COM1", "com9.dat", "LPT1", "lpt9",
                        "NUL ", "CON.", "nul .txt"})
    EXPECT_TRUE(IsDeviceName(d)) << d;
  for (const char* n : {"CONS", "console.txt", "COM", "COM0", "LPT10", "xNUL", "null", "AUX1", "COM1x", ""})
    EXPECT_FALSE(IsDeviceName(n)) << n;
}

TEST(SectionNames, DeviceNamesInAnyComponentAreRefused) {
  for (const char* bad : {"data/NUL", "data/aux.txt", "data/COM1", "data/con", "NUL/a.dat", "data/lpt3.log/x",
                          "data\\Prn\\y", "data/nul.tar.gz"})
    EXPECT_FALSE(IsSafeSectionName(bad)) << bad;
  for (const char* ok : {"data/console.txt", "data/com10", "data/nulls/a", "data/" "\x81\x5c" ".dat", "a", "data/.x"})
    EXPECT_TRUE(IsSafeSectionName(ok)) << ok;
}

class DeviceSections : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.Path() + "/game/";
    testsupport::MakeDirs(root_ + "data");
    platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
      boxes_.push_back(r.text);
      return static_cast<int>(platform::kIdCancel);
    });
  }
  void TearDown() override { platform::SetMessageBoxHandler(nullptr); }
  testsupport::TempDir dir_;
  std::string root_;
  std::vector<std::string> boxes_;
};

// The confusing file-layer boxes of Windows give way to the invalid-section box, on both builds.
TEST_F(DeviceSections, AreInvalidAndTouchNothing) {
  for (const char* name : {"data/NUL", "data/aux.txt", "data/COM1", "data/con", "data/LPT9/x.dat"}) {
    for (const char* kind : {"FDDA", "IDOM"}) {
      boxes_.clear();
      const std::string r = testsupport::Record(kind, 4, name, std::string(kind) == "IDOM" ? "" : "evil");
      EXPECT_FALSE(ApplyUpdateSec("p1.pkg", root_, reinterpret_cast<const unsigned char*>(r.data()))) << name;
      ASSERT_EQ(boxes_.size(), 1u) << name;
      EXPECT_EQ(boxes_[0], "p1.pkg含有不合法的数据节!");
    }
  }
  platform::FindData d;
  void* s = platform::FindFirst(root_ + "data/*", &d);
  std::vector<std::string> names;
  if (s) {
    do
      if (d.name != "." && d.name != "..") names.push_back(d.name);
    while (platform::FindNext(s, &d));
    platform::FindClose(s);
  }
  EXPECT_EQ(names, std::vector<std::string>());
}

TEST(PortableNames, WhatEveryClientCanWrite) {
  std::string why;
  for (const char* ok : {"data/a.txt", "data/更新/文件.txt", "var/gac/update.ini", "data/.hidden", "a b/c d.e"})
    EXPECT_TRUE(IsPortablePackageName(ok, &why)) << ok << ": " << why;
  const struct {
    std::string name;
    const char* says;
  } bad[] = {
      {"data/a:b", "colon"},
      {"data/a?b", "character"},
      {"data/a*", "character"},
      {"data/a<b>", "character"},
      {"data/a|b", "character"},
      {"data/東||", "character"},  // 0x96 0x7C, then a real "|"
      {"data/\"q\"", "character"},
      {std::string("data/a\tb"), "character"},
      {"data/x.", "ends in a dot or a blank"},
      {"data/x ", "ends in a dot or a blank"},
      {"data /x", "ends in a dot or a blank"},
      {"data/.../x", "all-dot"},
      {"data/../x", "all-dot"},
      {"data/NUL.txt", "device name"},
      {"COM1/x", "device name"},
      {"data//x", "empty"},
      {"data/~NOLK.TMP", "scratch"},
      {"~nolk.tmp/x", "scratch"},
      {"data/a.dat.NolkPatch-New", "scratch"},
      {"bin/patch/nolkpatch.exe.NOLKPATCH-OLD", "scratch"},
      {"var/gac/nolk-2.1.15.pkg.nolkpatch-part", "scratch"},
      {"data/" + std::string(250, 'a'), "longer than 253 bytes"},
  };
  for (const auto& b : bad) {
    why.clear();
    EXPECT_FALSE(IsPortablePackageName(b.name, &why)) << b.name;
    EXPECT_NE(why.find(b.says), std::string::npos) << b.name << ": " << why;
  }
  // 86 CJK characters are 172 bytes in GBK but 258 in UTF-8: too long for a Linux file name.
  std::string cjk;
  for (int i = 0; i < 86; ++i) cjk += "更";
  EXPECT_FALSE(IsPortablePackageName("data/" + cjk, &why));
  EXPECT_NE(why.find("255 bytes of UTF-8"), std::string::npos) << why;
  cjk.resize(85 * 2);
  EXPECT_TRUE(IsPortablePackageName("data/" + cjk, &why)) << why;
}

// A GBK character whose trail byte is 0x7C ("|") is a character like any other: the 118 that
// iconv's GBK table holds.
TEST(PortableNames, TrailByteOfABarIsNoBar) {
  const std::string all =
      "亅倈億剕厊唡噟坾墊妡媩寍峾巪弢恷憒抾搢攟晐東梶榺檤殀泑渱潀瀨焲爘▅﹟獆珅瑋瓅畖瘄皘眧瞸硘磡祙秥穦竱箌簗粅紎絴緗縷"
      "纜羭聕脇膢舼苵莬葇蓔蕓藎蘾蛗蝲蟶衸褆襹觸詜諀謡讄貄質趞踻軀輡迀遼鄚醸鈢銃鋦鍇鎩鐋鑭閨陓雦靯韡顋飢饇駖騶髚魘鮸鰘鱸鴟鵿鷟鹼鼃齶";
  ASSERT_EQ(all.size(), 118u * 2);
  std::string why;
  for (std::size_t i = 0; i < all.size(); i += 2) {
    const std::string pair = all.substr(i, 2);
    ASSERT_EQ(pair[1], '|');
    EXPECT_TRUE(IsPortablePackageName("data/" + pair + "/x" + pair + ".txt", &why)) << i / 2 << ": " << why;
  }
}

TEST(WindowsKeys, CaseTrimAndSeparatorsAsWindowsResolvesThem) {
  // Expected keys written out by hand (upper case, UTF-8).
  EXPECT_EQ(WindowsPathKey("Data\\Foo.TXT"), "DATA/FOO.TXT");
  EXPECT_EQ(WindowsPathKey("data//./foo.txt. "), "DATA/FOO.TXT");
  EXPECT_EQ(WindowsPathKey("models/更新"), "MODELS/\xe6\x9b\xb4\xe6\x96\xb0");
  // Greek, Cyrillic, full-width and Roman-numeral letters of GBK have case too.
  EXPECT_EQ(WindowsPathKey("αβ"), WindowsPathKey("ΑΒ"));
  EXPECT_EQ(WindowsPathKey("дом"), WindowsPathKey("ДОМ"));
  EXPECT_EQ(WindowsPathKey("ａｂ"), WindowsPathKey("ＡＢ"));
  EXPECT_EQ(WindowsPathKey("ⅰ"), WindowsPathKey("Ⅰ"));
  EXPECT_EQ(WindowsPathKey("ё"), WindowsPathKey("Ё"));
  // Bytes are not letters: 丄 (0x81 0x41) and 乤 (0x81 0x61) share their lead byte, nothing else.
  ASSERT_EQ(std::string("丄"), "\x81\x41");
  EXPECT_NE(WindowsPathKey("\x81\x41"), WindowsPathKey("\x81\x61"));
  EXPECT_NE(WindowsPathKey("a" + kJou), WindowsPathKey("a/"));
}

}  // namespace
