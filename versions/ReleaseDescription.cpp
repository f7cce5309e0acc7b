#include "versions/ReleaseDescription.h"

#include <chrono>
#include <cstdint>

#include "versions/Decimal.h"
#include "versions/SignatureText.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

constexpr std::string_view kFormatLine = "pellarion-release 1";
constexpr std::string_view kLineEnd = "\r\n";
// Three manifest lines, the format, the release, the expiry, two packages
// and the signature.
constexpr std::size_t kMaxLines = 9;
// A P-256 signature in DER is at most 72 bytes.
constexpr std::size_t kMaxSignatureBase64 = 256;
// What Decimal gives for a text that is not a number: beyond 18 digits.
constexpr std::uint64_t kNoNumber = UINT64_MAX;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Splits `line` at single spaces into exactly `count` fields; false for
// another number of fields or an empty one.
bool Split(std::string_view line, std::string_view* fields, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t space = i + 1 < count ? line.find(' ') : std::string_view::npos;
    fields[i] = line.substr(0, space);
    if (fields[i].empty() || fields[i].find(' ') != std::string_view::npos) return false;
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
  }
  return true;
}

// A decimal number of at most 18 digits without leading zeros.
std::uint64_t Decimal(std::string_view text) {
  if (text.size() > 1 && text[0] == '0') return kNoNumber;
  return ParseDecimal(text).value_or(kNoNumber);
}

// "3.1.0.12", exactly as FileVersionNumbers::Dotted writes it.
bool ReadVersion(std::string_view text, FileVersionNumbers& version) {
  std::uint16_t* const parts[] = {&version.major, &version.minor, &version.build, &version.revision};
  for (int i = 0; i < 4; ++i) {
    const std::size_t dot = i < 3 ? text.find('.') : text.size();
    const std::uint64_t part = dot == std::string_view::npos ? kNoNumber : Decimal(text.substr(0, dot));
    if (part > 0xFFFF) return false;
    *parts[i] = static_cast<std::uint16_t>(part);
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return true;
}

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string ManifestLine(const ReleaseDescription& d) {
  const std::string app = VersionDigits(d.application.version.Dotted());
  return app + "*" + app + "*" + VersionDigits(d.updater.version.Dotted());
}

// "application 3.1.0.12 183296 <hex>" for `role`.
bool ReadPackageLine(std::string_view line, std::string_view role, PackageEntry& entry) {
  std::string_view fields[4];
  if (!Split(line, fields, 4) || fields[0] != role || !ReadVersion(fields[1], entry.version)) return false;
  entry.length = Decimal(fields[2]);
  auto sha256 = ParseHexDigest(fields[3]);
  if (entry.length == kNoNumber || entry.length == 0 || !sha256) return false;
  entry.sha256 = std::move(*sha256);
  return true;
}

ReleaseReading Problem(std::string why) {
  ReleaseReading reading;
  reading.problem = std::move(why);
  return reading;
}

}  // namespace

ReleaseReading ReadReleaseDescription(std::string_view text) {
  std::string_view lines[kMaxLines];
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); ++count) {
    if (count == kMaxLines) return Problem("more lines than a release description has");
    const std::size_t end = text.find(kLineEnd, at);
    lines[count] = text.substr(at, end - at);
    if (end == std::string_view::npos || lines[count].find_first_of(kLineEnd) != std::string_view::npos) {
      return Problem("a line does not end in CR LF");
    }
    at = end + kLineEnd.size();
  }
  if (count <= 3) {
    ReleaseReading reading = Problem(count == 3 ? "no signed release description after the manifest"
                                                : "fewer than the three manifest lines");
    reading.absent = count == 3;
    return reading;
  }

  ReleaseReading reading;
  ReleaseDescription& d = reading.description.emplace();
  std::size_t i = 3;
  const auto wrong = [&] {
    return Problem(std::string("line ") + static_cast<char>('1' + i) + " does not follow the release format");
  };
  std::string_view fields[2];
  if (lines[i] != kFormatLine) return wrong();
  if (!Split(lines[++i], fields, 2) || fields[0] != "release" || (d.release = Decimal(fields[1])) == kNoNumber ||
      d.release == 0) {
    return wrong();
  }
  if (Split(lines[++i], fields, 2) && fields[0] == "expires") {
    if (!ParseUtcTime(fields[1])) return wrong();
    d.expires = fields[1];
    ++i;
  }
  if (!ReadPackageLine(lines[i], "application", d.application)) return wrong();
  if (!ReadPackageLine(lines[++i], "updater", d.updater)) return wrong();
  auto der = Split(lines[++i], fields, 2) && fields[0] == "signature" && fields[1].size() <= kMaxSignatureBase64
                 ? DecodeBase64(fields[1])
                 : std::nullopt;
  if (!der || der->empty()) return wrong();
  if (i + 1 != count) return Problem("lines follow the signature");
  d.signature = std::move(*der);
  d.signedLength = static_cast<std::size_t>(lines[i].data() - text.data());

  const std::string offer = ManifestLine(d);
  for (std::size_t m = 0; m < 3; ++m) {
    if (lines[m] != offer) return Problem("the manifest lines are not the release's offers");
  }
  return reading;
}

std::string SignedReleaseText(const ReleaseDescription& d) {
  const auto package = [](const char* role, const PackageEntry& entry) {
    return std::string(role) + " " + entry.version.Dotted() + " " + std::to_string(entry.length) + " " +
           HexDigest(entry.sha256) + std::string(kLineEnd);
  };
  const std::string end(kLineEnd);
  const std::string manifest = ManifestLine(d) + end;
  std::string text = manifest + manifest + manifest + std::string(kFormatLine) + end + "release " +
                     std::to_string(d.release) + end;
  if (!d.expires.empty()) text += "expires " + d.expires + end;
  return text + package("application", d.application) + package("updater", d.updater);
}

std::string SignatureLine(const std::string& derSignature) {
  return "signature " + EncodeBase64(derSignature) + std::string(kLineEnd);
}

std::optional<std::int64_t> ParseUtcTime(std::string_view text) {
  // YYYY-MM-DDThh:mm:ssZ
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] == 'd' ? !IsDigit(text[i]) : text[i] != kShape[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t digits) {
    return static_cast<int>(ParseDecimal(text.substr(at, digits)).value_or(0));
  };
  using namespace std::chrono;
  const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                            day{static_cast<unsigned>(number(8, 2))}};
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return duration_cast<seconds>(sys_days{date}.time_since_epoch()).count() + hour * 3600 + minute * 60 + second;
}

std::string CheckReleaseCurrent(const ReleaseDescription& d, std::uint64_t highestSeen, std::int64_t nowUtc) {
  if (d.release < highestSeen) return "older than release " + std::to_string(highestSeen) + ", seen before";
  const auto expires = ParseUtcTime(d.expires);
  if (!d.expires.empty() && (!expires || nowUtc > *expires)) return "expired at " + d.expires;
  return "";
}

std::string CheckPackageEntry(const PackageEntry& entry, std::uint64_t length, const std::string& sha256,
                              const std::optional<FileVersionNumbers>& version) {
  if (length != entry.length) return "its length is not the signed one";
  if (sha256 != entry.sha256) return "its SHA-256 is not the signed one";
  if (!version || *version != entry.version) return "its version is not the signed one";
  return "";
}

std::string HexDigest(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return hex;
}

std::optional<std::string> ParseHexDigest(std::string_view hex) {
  if (hex.size() != 64) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high << 4 | low));
  }
  return bytes;
}

}  // namespace pellarion
