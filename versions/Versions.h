// Version numbers as the run compares them: the digits of a dotted version
// with the dots taken out ("2.0.0.55" becomes "20055"), compared as whole
// numbers. Published manifests carry such digit strings, so the comparison
// stays numeric rather than component by component.
#pragma once

#include <string>

namespace pellarion {

// Every occurrence of `find` replaced by `replacement`, left to right without
// overlap, comparing bytes exactly. An empty text gives an empty result; an
// empty `find` gives the text unchanged.
std::string ReplaceText(const std::string& text, const std::string& find,
                        const std::string& replacement);

// "2.0.0.55" -> "20055".
std::string VersionDigits(const std::string& dottedVersion);

// The leading number of a text: blanks, tabs and line feeds are skipped
// wherever they stand; a sign, digits, one decimal point and an exponent are
// taken; reading stops at the first other character. No leading number gives
// 0; a number too large for a double gives infinity.
double NumericValue(const std::string& text);

// True when `text` is version digits: at least one digit and nothing else
// but the blanks, tabs and line feeds that NumericValue skips. An HTML page,
// other text or nothing at all offers no version.
bool IsVersionDigits(const std::string& text);

// True when `available` is a larger number than `installed`.
bool IsNewer(const std::string& available, const std::string& installed);

}  // namespace pellarion
