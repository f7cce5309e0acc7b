#include "versions/Decimal.h"

namespace pellarion {

std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits || text.size() > 18) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace pellarion
