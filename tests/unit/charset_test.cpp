// String literals reach the binaries as GBK bytes, and paths convert for the host.
#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"

TEST(Charset, LiteralsAreGbk) {
  const std::string title = "《Nolk2》更新程序";
  EXPECT_EQ(title, std::string("\xa1\xb6Nolk2\xa1\xb7\xb8\xfc\xd0\xc2\xb3\xcc\xd0\xf2"));
  EXPECT_EQ(std::string("更新"), std::string("\xb8\xfc\xd0\xc2"));
}

TEST(Charset, GbkRoundTripsThroughUtf8) {
  const std::string gbk = "data/更新/文件.dat";
  const std::string utf8 = platform::GbkToUtf8(gbk);
  EXPECT_EQ(utf8, std::string("data/\xe6\x9b\xb4\xe6\x96\xb0/\xe6\x96\x87\xe4\xbb\xb6.dat"));
  EXPECT_EQ(platform::Utf8ToGbk(utf8), gbk);
  EXPECT_EQ(platform::GbkToUtf8("plain/ascii.txt"), "plain/ascii.txt");
}

TEST(Charset, UnconvertibleBytesAreKept) {
  // A lone lead byte at the end is no GBK character; it must survive, not vanish.
  const std::string odd = "a\x81";
  EXPECT_EQ(platform::GbkToUtf8(odd).size() >= 2, true);
  EXPECT_EQ(platform::GbkToUtf8(odd)[0], 'a');
}
