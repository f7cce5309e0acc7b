// Fixed-width numbers as text, as printf's "%0Nx", "%0NX" and "%0Nu" write them.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/Digits.h"

namespace pellarion {
namespace {

TEST(DigitsTest, HexDigitsMatchPrintf) {
  const struct {
    std::uint64_t value;
    int width;
    bool upper;
  } cases[] = {{0, 16, false},
               {0xFFFFFFFFFFFFFFFFull, 16, false},
               {0x0123456789ABCDEFull, 16, false},
               {0xC000A000, 8, true},
               {0x1F, 8, true}};
  for (const auto& c : cases) {
    char expected[32];
    std::snprintf(expected, sizeof expected, c.upper ? "%0*llX" : "%0*llx", c.width,
                  static_cast<unsigned long long>(c.value));
    EXPECT_EQ(HexDigits(c.value, c.width, c.upper), expected);
  }
  EXPECT_EQ(HexDigits(0x123456789ull, 8), "23456789");  // the low digits of a wider value
}

TEST(DigitsTest, DecimalDigitsMatchPrintf) {
  const struct {
    std::uint64_t value;
    int width;
  } cases[] = {{0, 2}, {7, 2}, {59, 2}, {2026, 4}, {5, 4}, {123456, 2}, {18446744073709551615ull, 1}};
  for (const auto& c : cases) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%0*llu", c.width, static_cast<unsigned long long>(c.value));
    EXPECT_EQ(DecimalDigits(c.value, c.width), expected);
  }
}

}  // namespace
}  // namespace pellarion
