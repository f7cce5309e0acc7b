#include "versions/Versions.h"

#include <charconv>
#include <cmath>

namespace pellarion {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string ReplaceText(const std::string& text, const std::string& find,
                        const std::string& replacement) {
  if (find.empty()) return text;
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit = text.find(find); hit != std::string::npos; hit = text.find(find, pos)) {
    out.append(text, pos, hit - pos).append(replacement);
    pos = hit + find.size();
  }
  return out.append(text, pos, std::string::npos);
}

std::string VersionDigits(const std::string& dottedVersion) {
  return ReplaceText(dottedVersion, ".", "");
}

double NumericValue(const std::string& text) {
  std::string s;
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\n') s.push_back(c);
  }
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    const std::size_t exponentStart = j;
    while (j < s.size() && IsDigit(s[j])) ++j;
    if (j > exponentStart) i = j;  // an "E" without digits is not an exponent
  }
  // from_chars takes no leading "+".
  const bool negative = s[0] == '-';
  const std::size_t start = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  double value = 0.0;
  const auto result = std::from_chars(s.data() + start, s.data() + i, value);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large (or too small) for a double: infinity, or zero for an
    // exponent far below the smallest double.
    const std::size_t e = s.find_first_of("eE", start);
    const bool tiny = e != std::string::npos && e < i && s[e + 1] == '-';
    value = tiny ? 0.0 : HUGE_VAL;
  }
  return negative ? -value : value;
}

bool IsVersionDigits(const std::string& text) {
  bool digit = false;
  for (const char c : text) {
    if (IsDigit(c)) {
      digit = true;
    } else if (c != ' ' && c != '\t' && c != '\n') {
      return false;
    }
  }
  return digit;
}

bool IsNewer(const std::string& available, const std::string& installed) {
  return NumericValue(available) > NumericValue(installed);
}

}  // namespace pellarion
