// Fixed-width hexadecimal text, as printf's "%0Nx" / "%0NX" would write it.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/HexDigits.h"

namespace pellarion {
namespace {

TEST(HexDigitsTest, MatchesPrintf) {
  const struct {
    std::uint64_t value;
    int width;
    bool upper;
  } cases[] = {{0, 16, false},
               {0xFFFFFFFFFFFFFFFFull, 16, false},
               {0x0123456789ABCDEFull, 16, false},
               {0xC000A000, 8, true},
               {0x1F, 8, true},
               {0x123456789ull, 8, false}};  // wider than the width: the low digits
  for (const auto& c : cases) {
    char expected[32];
    std::snprintf(expected, sizeof expected, c.upper ? "%0*llX" : "%0*llx", c.width,
                  static_cast<unsigned long long>(c.width < 16 ? c.value & ((1ull << (4 * c.width)) - 1)
                                                               : c.value));
    EXPECT_EQ(HexDigits(c.value, c.width, c.upper), expected) << expected;
  }
}

}  // namespace
}  // namespace pellarion
