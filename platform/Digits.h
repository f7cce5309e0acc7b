// Fixed-width numbers as text without the printf family, which on Windows
// links a whole formatter (a tenth of the program) for a few digits.
#pragma once

#include <cstdint>
#include <string>

namespace pellarion {

// The `width` lowest hexadecimal digits of `value`, zero-padded on the left.
inline std::string HexDigits(std::uint64_t value, int width, bool upperCase = false) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = digits[value & 0xF];
  return text;
}

// `value` in decimal, zero-padded on the left to at least `width` digits.
inline std::string DecimalDigits(std::uint64_t value, int width) {
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  if (text.size() < static_cast<std::size_t>(width)) text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
  return text;
}

}  // namespace pellarion
