// Numbered lines of small text files (host.dll, the update manifest).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pellarion {

class Platform;

// The text of line `n` (from 1) of the file, without its line end; empty when
// the file has fewer lines. A line ends at a carriage return or a carriage
// return and line feed; a lone line feed stays inside the line. The file is
// read to its end with a 16-bit line counter, so a file of more than 32,767
// lines makes the read fail, as does a missing file (PlatformError).
std::string ReadFileLine(Platform& platform, const std::string& path, std::int16_t n);

// The text split at every `separator`; an empty text has no fields.
std::vector<std::string> SplitFields(const std::string& text, char separator);

}  // namespace pellarion
