#include <gtest/gtest.h>

#include "console/console_posix.h"

namespace {

TEST(Colour, IsUsedOnlyOnAColourTerminal) {
  EXPECT_TRUE(ColourWanted(1, "xterm", nullptr));
  EXPECT_TRUE(ColourWanted(1, "xterm", ""));
  EXPECT_FALSE(ColourWanted(0, "xterm", nullptr));
  EXPECT_FALSE(ColourWanted(1, nullptr, nullptr));
  EXPECT_FALSE(ColourWanted(1, "", nullptr));
  EXPECT_FALSE(ColourWanted(1, "dumb", nullptr));
  EXPECT_FALSE(ColourWanted(1, "xterm", "1"));
}

TEST(Colour, AttributeWordsBecomeAnsiSequences) {
  const struct {
    ConsoleAttributes attributes;
    const char* sequence;
  } kCases[] = {
      {15, "\033[97;40m"},    // bright white on black
      {12, "\033[91;40m"},    // bright red
      {10, "\033[92;40m"},    // bright green
      {0x1E, "\033[93;44m"},  // yellow on blue
      {0x07, "\033[37;40m"},  // plain grey
      {0xF9, "\033[94;107m"},
  };
  for (const auto& c : kCases) {
    char sequence[16];
    ASSERT_TRUE(FormatAttributesAsSgr(c.attributes, sequence, sizeof sequence));
    EXPECT_STREQ(sequence, c.sequence) << c.attributes;
  }
  char tiny[4];
  EXPECT_FALSE(FormatAttributesAsSgr(15, tiny, sizeof tiny));
}

}  // namespace
