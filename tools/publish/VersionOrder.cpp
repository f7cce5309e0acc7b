#include "tools/publish/VersionOrder.h"

#include <algorithm>
#include <array>
#include <optional>

#include "versions/Versions.h"

namespace pellarion::publish {

namespace {

constexpr std::uint32_t kMaxPart = 65535;  // a version record's part is 16 bits

using Parts = std::array<std::uint32_t, 4>;

Parts PartsOf(const FileVersionNumbers& v) { return {v.major, v.minor, v.build, v.revision}; }

FileVersionNumbers VersionOf(const Parts& p) {
  return {static_cast<std::uint16_t>(p[0]), static_cast<std::uint16_t>(p[1]), static_cast<std::uint16_t>(p[2]),
          static_cast<std::uint16_t>(p[3])};
}

std::string DigitsOf(const FileVersionNumbers& v) { return VersionDigits(v.Dotted()); }

// One part as a version record writes it: no leading zero, at most 65535.
std::optional<std::uint32_t> PartValue(const std::string& text) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  const auto value = static_cast<std::uint32_t>(std::stoul(text));
  if (value > kMaxPart) return std::nullopt;
  return value;
}

// `digits` cut into the parts from `at` on, the leading ones as short as they
// can be, which makes the lowest version.
bool CutLowest(const std::string& digits, std::size_t at, Parts& parts) {
  if (at == parts.size() - 1) {
    const auto value = PartValue(digits);
    if (value) parts[at] = *value;
    return value.has_value();
  }
  for (std::size_t length = 1; length < digits.size(); ++length) {
    const auto value = PartValue(digits.substr(0, length));
    if (!value) return false;  // a longer head has the same leading zero, or is larger still
    parts[at] = *value;
    if (CutLowest(digits.substr(length), at + 1, parts)) return true;
  }
  return false;
}

// `parts` with the smallest last part that makes a version workstations at
// `live` would take.
std::optional<FileVersionNumbers> WithSmallestLastPart(Parts parts, const LiveVersion& live) {
  for (std::uint32_t last = 0; last <= kMaxPart; ++last) {
    parts[3] = last;
    if (WouldBeTaken(VersionOf(parts), live)) return VersionOf(parts);
  }
  return std::nullopt;
}

// The smallest version after the live one that would be taken: one part of
// the live version raised, the last first, the parts after it as small as
// they can be.
std::optional<FileVersionNumbers> SmallestAfter(const LiveVersion& live) {
  for (int raised = 3; raised >= 0; --raised) {
    Parts parts = PartsOf(live.version);
    if (parts[raised] == kMaxPart) continue;
    ++parts[raised];
    for (int after = raised + 1; after < 4; ++after) parts[after] = 0;
    if (raised == 3 && WouldBeTaken(VersionOf(parts), live)) return VersionOf(parts);
    if (raised < 3) {
      if (auto found = WithSmallestLastPart(parts, live)) return found;
    }
  }
  return std::nullopt;
}

}  // namespace

FileVersionNumbers LowestVersionWithDigits(const std::string& digits) {
  std::string plain;
  for (const char c : digits) {
    if (c >= '0' && c <= '9') plain += c;
  }
  Parts parts{};
  if (plain.size() < 4 || plain.size() > 20 || !CutLowest(plain, 0, parts)) return {};
  return VersionOf(parts);
}

bool WouldBeTaken(const FileVersionNumbers& file, const LiveVersion& live) {
  return IsNewer(DigitsOf(file), live.digits) && file > live.version;
}

std::vector<FileVersionNumbers> VersionsThatWouldWork(const FileVersionNumbers& file, const LiveVersion& live) {
  std::vector<FileVersionNumbers> found;
  for (const auto& candidate : {WithSmallestLastPart(PartsOf(file), live), SmallestAfter(live)}) {
    if (candidate && std::find(found.begin(), found.end(), *candidate) == found.end()) found.push_back(*candidate);
  }
  return found;
}

std::string WhyNotTaken(const std::string& what, const FileVersionNumbers& file, const LiveVersion& live) {
  const std::string digits = DigitsOf(file);
  const bool offered = IsNewer(digits, live.digits);
  const bool higher = file > live.version;
  if (offered && higher) return "";
  std::string message = what + " " + file.Dotted() + " (digits " + digits + ") would not be taken over the live " +
                        live.version.Dotted() + " (" + live.digits + "): ";
  if (!offered) {
    message += digits + " is " +
               (NumericValue(digits) == NumericValue(live.digits) ? "the same number as " : "a smaller number than ") +
               live.digits + ", and the updater offers only larger digits (it takes the dots out and compares "
               "whole numbers)";
  }
  if (!offered && !higher) message += "; and ";
  if (!higher) {
    message += "it is not higher, part by part, than " + live.version.Dotted() +
               ", and the updater never installs a version that is not higher than the one it replaces";
  }
  const auto working = VersionsThatWouldWork(file, live);
  if (working.empty()) return message + ". No version would work.";
  message += ". Versions that would work: ";
  for (std::size_t i = 0; i < working.size(); ++i) {
    message += (i ? ", " : "") + working[i].Dotted() + " (" + DigitsOf(working[i]) + ")";
  }
  return message + ".";
}

}  // namespace pellarion::publish
