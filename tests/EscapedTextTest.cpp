// Text from outside written where a person reads it.
#include <gtest/gtest.h>

#include "versions/EscapedText.h"

namespace pellarion {
namespace {

TEST(EscapedTextTest, EscapesWhatControlsTheDisplayAndKeepsTheRest) {
  struct Case {
    std::string text, expected;
  } cases[] = {
      {"", ""},
      {"C:\\Pellarion\\update.txt 31012*1*2", "C:\\Pellarion\\update.txt 31012*1*2"},
      {"يتم البحث عن تحديث متوفر.", "يتم البحث عن تحديث متوفر."},  // Arabic stays readable
      // A forged log line: clear the line, go to its start, write another.
      {"31012\x1b[2K\x1b[1G2026-01-01 end: ok", "31012\\x1b[2K\\x1b[1G2026-01-01 end: ok"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"\xc2\x9b" "31m", "\\u009b31m"},                  // C1 CSI, valid UTF-8
      {"\x9b" "31m", "\\x9b31m"},                        // the same byte alone: not UTF-8
      {"\xe2\x80\xae" "exe.txt", "\\u202eexe.txt"},      // right-to-left override
      {"a\xe2\x80\xa8" "b", "a\\u2028b"},                // line separator
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\\u2066x\\u2069"},  // isolates
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},                // a sequence cut at the end
      {"\xc0\x80", "\\xc0\\x80"},                        // overlong NUL
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},               // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},      // past U+10FFFF
      {"\xe2(", "\\xe2("},                               // a lead byte without its continuation
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeControls(c.text), c.expected) << c.expected;
  }
}

}  // namespace
}  // namespace pellarion
