// Version digits and their comparison.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/FakePlatform.h"
#include "gate/Files.h"
#include "versions/Decimal.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

TEST(VersionsTest, ReplaceText) {
  struct Case {
    std::string text, find, replacement, expected;
  } cases[] = {
      {"2.0.0.55", ".", "", "20055"},
      {"", ".", "x", ""},
      {"2.0.0.55", "", "x", "2.0.0.55"},
      {"aaaa", "aa", "b", "bb"},          // left to right, no overlap
      {"aaa", "aa", "b", "ba"},
      {"Abc abc", "abc", "x", "Abc x"},   // case matters
      {"..", ".", "-", "--"},
      {"no dots", ".", "", "no dots"},
      {"x.y", ".", "..", "x..y"},         // the replacement is not scanned again
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceText(c.text, c.find, c.replacement), c.expected)
        << '"' << c.text << "\" find \"" << c.find << '"';
  }
}

TEST(VersionsTest, NumericValue) {
  struct Case {
    std::string text;
    double expected;
  } cases[] = {
      {"20055", 20055},
      {"", 0},
      {"abc", 0},
      {" 2 00 55", 20055},          // blanks inside digits are skipped
      {"\t1\n2", 12},               // so are tabs and line feeds
      {"12\r34", 12},               // a carriage return is not
      {"-5", -5},
      {"+7", 7},
      {"3.25", 3.25},
      {"1.2.3", 1.2},               // one decimal point only
      {".5", 0.5},
      {"1e3", 1000},
      {"1E+2x", 100},
      {"2e-1", 0.2},
      {"5e", 5},                    // an exponent needs digits
      {"5e+", 5},
      {"12abc34", 12},
      {"-", 0},
      {".", 0},
      {"1e400", HUGE_VAL},          // beyond a double
      {"1e-400", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NumericValue(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(VersionsTest, IsNewer) {
  struct Case {
    std::string available, installed;
    bool newer;
  } cases[] = {
      {"20055", "20054", true},
      {"20055", "20055", false},     // equal is not newer
      {"20054", "20055", false},
      // Digits compare as whole numbers: 2.0.0.55 (20055) beats 2.0.1.0 (2010).
      {VersionDigits("2.0.0.55"), VersionDigits("2.0.1.0"), true},
      {VersionDigits("2.0.1.0"), VersionDigits("2.0.0.55"), false},
      {"", "0", false},              // an empty offer counts as 0
      {"1", "", true},               // an unreadable installed version counts as 0
      {"", "", false},
      {"2 0056", "20055", true},
      {"garbage", "0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNewer(c.available, c.installed), c.newer)
        << '"' << c.available << "\" over \"" << c.installed << '"';
  }
}

TEST(VersionsTest, VersionDigitsOfReadsTheVersionRecord) {
  testing::FakePlatform fake;
  fake.AddFile("C:\\Pellarion\\update.exe", "x", "2.0.0.55");
  fake.AddFile("C:\\Pellarion\\page.html", "<html>");
  EXPECT_EQ(VersionDigitsOf(fake, "C:\\Pellarion\\update.exe"), "20055");
  EXPECT_THROW(VersionDigitsOf(fake, "C:\\Pellarion\\page.html"), PlatformError);
  EXPECT_THROW(VersionDigitsOf(fake, "C:\\Pellarion\\missing.exe"), PlatformError);
}

// The one reader of decimal numbers.
TEST(VersionsTest, ParseDecimalTakesOnlyDigitsAndNoMoreThanFit) {
  for (const char* number : {"0", "17", "007", "999999999999999999"}) {
    EXPECT_EQ(ParseDecimal(number), std::stoull(number)) << number;
  }
  for (const char* other : {"1000000000000000000", "", " 1", "1 ", "+1", "-1", "1\r\n", "1a", "0x10"}) {
    EXPECT_EQ(ParseDecimal(other), std::nullopt) << '"' << other << '"';
  }
  EXPECT_EQ(ParseDecimal("1234", 3), std::nullopt);
  EXPECT_EQ(ParseDecimal("123", 3), 123u);
}

}  // namespace
}  // namespace pellarion
