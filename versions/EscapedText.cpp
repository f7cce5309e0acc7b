#include "versions/EscapedText.h"

#include <cstdint>

namespace pellarion {

namespace {

void AppendHex(std::string& out, const char* prefix, std::uint32_t value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += prefix;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// The length of the valid UTF-8 sequence at the start of `text` and its code
// point; 0 when it is not one.
std::size_t DecodeOne(std::string_view text, std::uint32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  std::uint32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, codePoint = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i) & 0x3F);
  }
  if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

bool ControlsDisplay(std::uint32_t codePoint) {
  return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0x2028 || codePoint == 0x2029 ||
         (codePoint >= 0x202A && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '\t') {
        out += "\\t";
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c < 0x20 || c == 0x7F) {
        AppendHex(out, "\\x", c, 2);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    std::uint32_t codePoint = 0;
    const std::size_t length = DecodeOne(text.substr(i), codePoint);
    if (length == 0) {
      AppendHex(out, "\\x", c, 2);
      ++i;
    } else {
      if (ControlsDisplay(codePoint)) {
        AppendHex(out, "\\u", codePoint, 4);
      } else {
        out.append(text.substr(i, length));
      }
      i += length;
    }
  }
  return out;
}

}  // namespace pellarion
