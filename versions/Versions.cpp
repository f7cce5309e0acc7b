#include "versions/Versions.h"

#include <cstdlib>

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
  // s[0, i) is now a plain decimal number, which atof (strtod without the
  // end pointer) reads whole: HUGE_VAL beyond a double, zero far below the
  // smallest. On Windows atof is the system C runtime's own, where strtod
  // and from_chars<double> each link a second converter of their own, a
  // tenth of the program's size.
  return std::atof(s.substr(0, i).c_str());
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
