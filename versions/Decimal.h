// Decimal numbers as the updater's files and a server's headers write them:
// one reader for every layer, from the release number beside the updater to
// a Content-Length.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pellarion {

// The whole of `text` as a decimal number of 1 to `maxDigits` digits (at most
// 18, so that it always fits) and nothing else: no sign, no blanks. Nothing
// for any other text.
std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::size_t maxDigits = 18);

}  // namespace pellarion
