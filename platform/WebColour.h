#pragma once

#include <cstdio>
#include <string>

#include "platform/Platform.h"

namespace pellarion {

// "#RRGGBB" for a colour in &H00BBGGRR order: blue &HFF0000 is "#0000FF".
inline std::string WebColour(Colour colour) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", static_cast<unsigned>(colour & 0xFF),
                static_cast<unsigned>((colour >> 8) & 0xFF), static_cast<unsigned>((colour >> 16) & 0xFF));
  return text;
}

}  // namespace pellarion
