#include "console/text.h"

#include <gtest/gtest.h>
#include <string.h>
#include <wchar.h>

namespace {

TEST(Text, FoldsOnlyAsciiLetters) {
  char narrow[] = "C:\\WINDOWS\\Ä\xC3\x84z@[`{";
  LowerAsciiInPlace(narrow);
  EXPECT_STREQ(narrow, "c:\\windows\\Ä\xC3\x84z@[`{");
  wchar_t wide[] = L"WIN\u00C4\u0130";
  LowerAsciiInPlace(wide);
  EXPECT_STREQ(wide, L"win\u00C4\u0130");
}

TEST(Text, OptionWordsMatchWholeWordsIgnoringAsciiCase) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase("-l", "-l"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase("-L", "-l"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"-P", "-p"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("-list", "-l"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("-", "-l"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("/l", "-l"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"-\u016C", "-l"));  // U+016C must not pass for "l" (0x6C)
}

TEST(Text, CopiesOnlyWhatFitsWhole) {
  char buffer[4];
  EXPECT_TRUE(CopyText(buffer, sizeof buffer, "abc"));
  EXPECT_STREQ(buffer, "abc");
  EXPECT_FALSE(CopyText(buffer, sizeof buffer, "abcd"));
  EXPECT_STREQ(buffer, "");
}

TEST(Text, FindsPatternsAnywhereInThePath) {
  EXPECT_NE(FindText("/usr/lib/x.dll/y", ".dll"), nullptr);
  EXPECT_NE(FindText("/any", ""), nullptr);
  EXPECT_EQ(FindText(L"c:\\windows", L"win32"), nullptr);
}

}  // namespace
