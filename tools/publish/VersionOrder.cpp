#include "tools/publish/VersionOrder.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "versions/LineFile.h"
#include "versions/Versions.h"

namespace pellarion::publish {

namespace {

constexpr unsigned kMaxPart = 65535;  // a version record's part is 16 bits

// `digits` + 1, in decimal.
std::string Increment(std::string digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return digits;
    }
    *it = '0';
  }
  return "1" + digits;
}

// `digits` cut into `parts` parts that a version record can hold (no leading
// zeros, each at most 65535), shortest leading parts first.
std::optional<std::string> SplitIntoParts(const std::string& digits, std::size_t parts) {
  if (parts == 1) {
    if (digits.empty() || digits.size() > 5 || (digits.size() > 1 && digits[0] == '0') ||
        std::stoul(digits) > kMaxPart) {
      return std::nullopt;
    }
    return digits;
  }
  for (std::size_t length = 1; length <= 5 && length + parts - 1 <= digits.size(); ++length) {
    const std::string head = digits.substr(0, length);
    if ((length > 1 && head[0] == '0') || std::stoul(head) > kMaxPart) break;
    if (auto rest = SplitIntoParts(digits.substr(length), parts - 1)) return head + "." + *rest;
  }
  return std::nullopt;
}

std::optional<std::string> WithSmallestLastPart(const std::vector<std::string>& parts,
                                                const std::string& previousDigits) {
  std::string prefix;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) prefix += parts[i] + ".";
  for (unsigned last = 0; last <= kMaxPart; ++last) {
    const std::string candidate = prefix + std::to_string(last);
    if (IsNewer(VersionDigits(candidate), previousDigits)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> SmallestWithParts(std::size_t parts, const std::string& previousDigits) {
  std::string digits;
  for (const char c : previousDigits) {
    if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  digits = Increment(digits.empty() ? "0" : digits);
  if (digits.size() < parts) digits = "1" + std::string(parts - 1, '0');
  // A few numbers in a row cannot be cut into parts (100000 into two); the
  // next ones, or the next length, can.
  for (int tries = 0; tries < 1000 && digits.size() <= 5 * parts; ++tries, digits = Increment(digits)) {
    if (auto dotted = SplitIntoParts(digits, parts)) {
      if (IsNewer(digits, previousDigits)) return dotted;
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> VersionsThatWouldWork(const std::string& newDotted,
                                               const std::string& previousDigits) {
  const std::vector<std::string> parts = SplitFields(newDotted, '.');
  std::vector<std::string> found;
  if (parts.empty()) return found;
  for (const auto& candidate :
       {WithSmallestLastPart(parts, previousDigits), SmallestWithParts(parts.size(), previousDigits)}) {
    if (candidate && std::find(found.begin(), found.end(), *candidate) == found.end()) {
      found.push_back(*candidate);
    }
  }
  return found;
}

std::string WhyNotOffered(const std::string& what, const std::string& newDotted,
                          const std::string& previousDigits) {
  const std::string digits = VersionDigits(newDotted);
  if (IsNewer(digits, previousDigits)) return "";
  const bool equal = NumericValue(digits) == NumericValue(previousDigits);
  std::string message = what + "'s version " + newDotted + " has the digits " + digits + ", " +
                        (equal ? "the same number as" : "a smaller number than") +
                        " the previous manifest's " + previousDigits +
                        ": the updater takes the dots out and compares the digits as whole numbers, "
                        "so it would never offer this file.";
  const auto working = VersionsThatWouldWork(newDotted, previousDigits);
  if (working.empty()) return message + " No version with as many parts has larger digits.";
  message += " Versions that would work: ";
  for (std::size_t i = 0; i < working.size(); ++i) {
    message += (i ? ", " : "") + working[i] + " (" + VersionDigits(working[i]) + ")";
  }
  return message + ", or any whose digits make a number greater than " + previousDigits + ".";
}

}  // namespace pellarion::publish
