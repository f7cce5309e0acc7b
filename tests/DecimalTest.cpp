// The one reader of decimal numbers.
#include <gtest/gtest.h>

#include <optional>

#include "versions/Decimal.h"

namespace pellarion {
namespace {

TEST(DecimalTest, OnlyDigitsAndNoMoreThanFit) {
  const struct Case {
    const char* text;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"0", 0}, {"17", 17}, {"007", 7}, {"999999999999999999", 999999999999999999ULL},
      {"1000000000000000000", std::nullopt},  // 19 digits
      {"", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt}, {"+1", std::nullopt},
      {"-1", std::nullopt}, {"1\r\n", std::nullopt}, {"1a", std::nullopt}, {"0x10", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
  EXPECT_EQ(ParseDecimal("1234", 3), std::nullopt);
  EXPECT_EQ(ParseDecimal("123", 3), 123u);
}

}  // namespace
}  // namespace pellarion
