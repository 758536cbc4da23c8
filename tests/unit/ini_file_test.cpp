// INI reads with the rules of GetPrivateProfileStringA. On Windows (and under Wine) every case is also
// read by the system call itself and by our own reader, and the two must agree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/ini_file.h"
#include "tests/support/test_files.h"

namespace {

struct IniCase {
  const char* name;
  std::string contents;
  std::string section;
  std::string key;
  std::string def;
  std::string expected;
};

// ASCII text as UTF-16 after its byte-order mark; "\x01" stands for 更 and "\x02" for 新.
std::string Utf16(const std::string& ascii, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    unsigned u = c == '\x01' ? 0x66F4 : c == '\x02' ? 0x65B0 : static_cast<unsigned char>(c);
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

std::vector<IniCase> Corpus() {
  const std::string longValue(1500, 'v');
  return {
      {"plain", "[Setting]\r\nVersion=2.1.15\r\n", "Setting", "Version", "0.0.0", "2.1.15"},
      {"lf-only", "[Setting]\nVersion=2.1.15\n", "Setting", "Version", "d", "2.1.15"},
      {"cr-only", "[Setting]\rVersion=2.1.15\r", "Setting", "Version", "d", "2.1.15"},
      {"no-final-newline", "[Setting]\r\nVersion=1.0.0", "Setting", "Version", "d", "1.0.0"},
      {"section-case", "[setting]\r\nVersion=1\r\n", "SETTING", "Version", "d", "1"},
      {"key-case", "[Setting]\r\nupdateurl=http://127.0.0.1/a\r\n", "Setting", "UpdateURL", "d", "http://127.0.0.1/a"},
      {"blanks-around", "  [Setting]  \r\n\t Version \t=\t 2.0.1  \r\n", "Setting", "Version", "d", "2.0.1"},
      {"blank-inside-value", "[Setting]\r\nName= a  b \r\n", "Setting", "Name", "d", "a  b"},
      {"double-quotes", "[Setting]\r\nName=\"quoted value\"\r\n", "Setting", "Name", "d", "quoted value"},
      {"single-quotes", "[Setting]\r\nName='quoted'\r\n", "Setting", "Name", "d", "quoted"},
      {"quotes-blank-inside", "[Setting]\r\nName=\" padded \"\r\n", "Setting", "Name", "d", " padded "},
      {"unmatched-quotes", "[Setting]\r\nName=\"half\r\n", "Setting", "Name", "d", "\"half"},
      {"mixed-quotes", "[Setting]\r\nName=\"mixed'\r\n", "Setting", "Name", "d", "\"mixed'"},
      {"lone-quote", "[Setting]\r\nName=\"\r\n", "Setting", "Name", "d", "\""},
      {"empty-quotes", "[Setting]\r\nName=\"\"\r\n", "Setting", "Name", "d", ""},
      {"inner-quotes", "[Setting]\r\nName=a\"b\"c\r\n", "Setting", "Name", "d", "a\"b\"c"},
      {"empty-value", "[Setting]\r\nVersion=\r\n", "Setting", "Version", "d", ""},
      {"missing-key", "[Setting]\r\nOther=1\r\n", "Setting", "Version", "0.0.0", "0.0.0"},
      {"missing-section", "[Other]\r\nVersion=1\r\n", "Setting", "Version", "0.0.0", "0.0.0"},
      {"key-in-other-section", "[A]\r\nVersion=1\r\n[Setting]\r\nX=2\r\n[B]\r\nVersion=3\r\n", "Setting", "Version",
       "def", "def"},
      {"empty-file", "", "Setting", "Version", "0.0.0", "0.0.0"},
      {"comment-line", "[Setting]\r\n;Version=9.9.9\r\nVersion=1.2.3\r\n", "Setting", "Version", "d", "1.2.3"},
      {"commented-out-only", "[Setting]\r\n; Version=9.9.9\r\n", "Setting", "Version", "d", "d"},
      {"hash-is-no-comment", "[Setting]\r\n#Version=1\r\nVersion=2\r\n", "Setting", "Version", "d", "2"},
      {"inline-semicolon-kept", "[Setting]\r\nVersion=1.2.3 ; note\r\n", "Setting", "Version", "d", "1.2.3 ; note"},
      {"duplicate-keys", "[Setting]\r\nVersion=1.0.0\r\nVersion=2.0.0\r\n", "Setting", "Version", "d", "1.0.0"},
      {"key-without-equals", "[Setting]\r\nVersion\r\n", "Setting", "Version", "d", "d"},
      {"equals-in-value", "[Setting]\r\nUpdateURL=http://127.0.0.1/x?a=b\r\n", "Setting", "UpdateURL", "d",
       "http://127.0.0.1/x?a=b"},
      {"value-with-brackets", "[Setting]\r\nName=[x]\r\n", "Setting", "Name", "d", "[x]"},
      {"long-value-cut", "[Setting]\r\nName=" + longValue + "\r\n", "Setting", "Name", "d", longValue.substr(0, 1023)},
      {"exactly-1023", "[Setting]\r\nName=" + longValue.substr(0, 1023) + "\r\n", "Setting", "Name", "d",
       longValue.substr(0, 1023)},
      {"default-trailing-blanks", "[Setting]\r\n", "Setting", "Version", "dflt   ", "dflt"},
      {"default-quoted", "[Setting]\r\n", "Setting", "Version", "\"q\"", "q"},
      {"blank-lines", "\r\n\r\n[Setting]\r\n\r\n\r\nVersion=4.5.6\r\n\r\n", "Setting", "Version", "d", "4.5.6"},
      {"gbk-value", "[Setting]\r\nName=更新程序\r\n", "Setting", "Name", "d", "更新程序"},
      {"tab-separated", "[Setting]\r\nVersion\t=\t7.7.7\r\n", "Setting", "Version", "d", "7.7.7"},
      {"spaces-in-key", "[Setting]\r\nUpdate URL=x\r\n", "Setting", "Update URL", "d", "x"},
      {"section-trailing-text", "[Setting] trailing\r\nVersion=1\r\n", "Setting", "Version", "d", "1"},
      {"second-section-later", "[Setting]\r\nA=1\r\n[Other]\r\nB=2\r\n", "Other", "B", "d", "2"},
      {"blank-in-header", "[ Setting ]\r\nVersion=1\r\n", "Setting", "Version", "d", "1"},
      {"only-first-section-counts", "[Setting]\r\nA=1\r\n[Other]\r\n[Setting]\r\nVersion=2\r\n", "Setting", "Version",
       "d", "d"},
      {"header-without-bracket", "[Setting\r\nVersion=1\r\n", "Setting", "Version", "d", "d"},
      {"keys-before-any-section", "Version=0.1.0\r\n[Setting]\r\n", "Setting", "Version", "d", "d"},
      {"ctrl-z-is-blank", "[Setting]\r\nVersion=1.2.3\x1a\r\n", "Setting", "Version", "d", "1.2.3"},
      {"utf8-bom", "\xEF\xBB\xBF[Setting]\r\nVersion=3.3.3\r\n", "Setting", "Version", "d", "3.3.3"},
      {"utf16le-bom", Utf16("[Setting]\r\nVersion=4.4.4\r\n", false), "Setting", "Version", "d", "4.4.4"},
      {"utf16be-bom", Utf16("[Setting]\r\nVersion=4.4.5\r\n", true), "Setting", "Version", "d", "4.4.5"},
      {"utf16le-gbk-value", Utf16("[Setting]\r\nName=\x01\x02\r\nUpdateURL=http://127.0.0.1/l\r\n", false), "setting",
       "Name", "d", "更新"},
      {"utf16le-url", Utf16("[Setting]\r\nName=\x01\x02\r\nUpdateURL=http://127.0.0.1/l\r\n", false), "Setting",
       "UpdateURL", "d", "http://127.0.0.1/l"},
  };
}

}  // namespace

TEST(IniFile, CorpusReadsAsExpected) {
  testsupport::TempDir dir;
  int n = 0;
  for (const IniCase& c : Corpus()) {
    const std::string path = dir.Path() + "/case" + std::to_string(n++) + ".ini";
    testsupport::WriteFile(path, c.contents);
    EXPECT_EQ(platform::ReadIniString(path, c.section, c.key, c.def), c.expected) << c.name;
    EXPECT_EQ(platform::ParseIniString(c.contents, c.section, c.key, c.def), c.expected) << c.name;
  }
}

TEST(IniFile, MissingFileGivesTheDefault) {
  testsupport::TempDir dir;
  EXPECT_EQ(platform::ReadIniString(dir.Path() + "/absent.ini", "Setting", "Version", "0.0.0"), "0.0.0");
  EXPECT_EQ(platform::ReadIniString(dir.Path() + "/absent.ini", "Setting", "Version", ""), "");
}

TEST(IniFile, GbkPathsOpen) {
  testsupport::TempDir dir;
  const std::string gbkPath = platform::Utf8ToGbk(dir.Path()) + "/更新.ini";
  testsupport::WriteFile(platform::HostPath(gbkPath), "[Setting]\r\nVersion=5.4.3\r\n");
  EXPECT_EQ(platform::ReadIniString(gbkPath, "Setting", "Version", "0.0.0"), "5.4.3");
}

TEST(IniFile, BufferSizeCutsTheValue) {
  EXPECT_EQ(platform::ParseIniString("[S]\nK=abcdef\n", "S", "K", "", 4), "abc");
  EXPECT_EQ(platform::ParseIniString("[S]\nK=abcdef\n", "S", "K", "", 1), "");
}

#ifdef _WIN32
// Our reader against GetPrivateProfileStringA itself, over the corpus and some extra queries.
TEST(IniFile, OwnReaderAgreesWithTheSystemCall) {
  testsupport::TempDir dir;
  std::vector<IniCase> corpus = Corpus();
  int n = 0;
  int compared = 0;
  for (const IniCase& c : corpus) {
    const std::string path = dir.Path() + "/diff" + std::to_string(n++) + ".ini";
    testsupport::WriteFile(path, c.contents);
    for (const std::string& key : {c.key, std::string("Version"), std::string("version"), std::string("A"),
                                   std::string("Name"), std::string(" Version ")}) {
      for (const std::string& section : {c.section, std::string("setting"), std::string("Other")}) {
        std::string system = platform::ReadIniString(path, section, key, c.def);
        std::string ours = platform::ParseIniString(c.contents, section, key, c.def);
        EXPECT_EQ(ours, system) << c.name << " [" << section << "] " << key;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 200);
}
#endif
