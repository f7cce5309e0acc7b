#include "versions/ReleaseDescription.h"

#include <chrono>
#include <vector>

#include "versions/SignatureText.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

constexpr std::string_view kFormatLine = "pellarion-release 1";
constexpr std::string_view kLineEnd = "\r\n";
// A P-256 signature in DER is at most 72 bytes.
constexpr std::size_t kMaxSignatureBase64 = 256;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The fields of a line, separated by single spaces (an empty field, from two
// spaces or one at an end, stays and makes the line wrong).
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t space = line.find(' ', at);
    fields.push_back(line.substr(at, space - at));
    if (space == std::string_view::npos) return fields;
    at = space + 1;
  }
}

// A decimal number of at most 18 digits without leading zeros.
std::optional<std::uint64_t> Decimal(std::string_view text) {
  if (text.empty() || text.size() > 18 || (text[0] == '0' && text.size() > 1)) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// "3.1.0.12", exactly as FileVersionNumbers::Dotted writes it.
std::optional<FileVersionNumbers> DottedVersion(std::string_view text) {
  std::uint16_t parts[4] = {};
  for (int i = 0; i < 4; ++i) {
    const std::size_t dot = i < 3 ? text.find('.') : text.size();
    const auto part = dot == std::string_view::npos ? std::nullopt : Decimal(text.substr(0, dot));
    if (!part || *part > 0xFFFF) return std::nullopt;
    parts[i] = static_cast<std::uint16_t>(*part);
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return FileVersionNumbers{parts[0], parts[1], parts[2], parts[3]};
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

std::string PackageLine(const char* role, const PackageEntry& entry) {
  return std::string(role) + " " + entry.version.Dotted() + " " + std::to_string(entry.length) + " " +
         HexDigest(entry.sha256);
}

// "application 3.1.0.12 183296 <hex>" for `role`.
std::optional<PackageEntry> ReadPackageLine(std::string_view line, std::string_view role) {
  const auto fields = Fields(line);
  if (fields.size() != 4 || fields[0] != role) return std::nullopt;
  const auto version = DottedVersion(fields[1]);
  const auto length = Decimal(fields[2]);
  auto sha256 = ParseHexDigest(fields[3]);
  if (!version || !length || *length == 0 || !sha256) return std::nullopt;
  return PackageEntry{*version, *length, std::move(*sha256)};
}

ReleaseReading Problem(std::string why) {
  ReleaseReading reading;
  reading.problem = std::move(why);
  return reading;
}

}  // namespace

ReleaseReading ReadReleaseDescription(std::string_view text) {
  // The lines, each with the offset where it starts.
  std::vector<std::pair<std::string_view, std::size_t>> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find(kLineEnd, at);
    if (end == std::string_view::npos) return Problem("the last line does not end in CR LF");
    const std::string_view line = text.substr(at, end - at);
    if (line.find_first_of("\r\n") != std::string_view::npos) return Problem("a line holds a lone CR or LF");
    lines.emplace_back(line, at);
    at = end + kLineEnd.size();
  }
  if (lines.size() < 3) return Problem("fewer than the three manifest lines");
  if (lines.size() == 3) {
    ReleaseReading reading = Problem("no signed release description after the manifest");
    reading.absent = true;
    return reading;
  }

  ReleaseDescription d;
  std::size_t next = 3;
  const auto line = [&]() -> std::string_view { return next < lines.size() ? lines[next].first : ""; };
  if (line() != kFormatLine) return Problem("line 4 is not \"pellarion-release 1\"");
  ++next;
  const auto release = Fields(line());
  const auto number = release.size() == 2 && release[0] == "release" ? Decimal(release[1]) : std::nullopt;
  if (!number || *number == 0) return Problem("no release number (\"release N\", N from 1) in line 5");
  d.release = *number;
  ++next;
  if (const auto expires = Fields(line()); expires[0] == "expires") {
    if (expires.size() != 2 || !ParseUtcTime(expires[1])) return Problem("the expiry is not YYYY-MM-DDThh:mm:ssZ");
    d.expires = expires[1];
    ++next;
  }
  const auto application = ReadPackageLine(line(), "application");
  if (!application) return Problem("line " + std::to_string(next + 1) + " is not \"application VERSION LENGTH SHA-256\"");
  d.application = *application;
  ++next;
  const auto updater = ReadPackageLine(line(), "updater");
  if (!updater) return Problem("line " + std::to_string(next + 1) + " is not \"updater VERSION LENGTH SHA-256\"");
  d.updater = *updater;
  ++next;

  const auto signature = Fields(line());
  if (signature.size() != 2 || signature[0] != "signature" || signature[1].size() > kMaxSignatureBase64) {
    return Problem("line " + std::to_string(next + 1) + " is not \"signature BASE64\"");
  }
  auto der = DecodeBase64(signature[1]);
  if (!der || der->empty()) return Problem("the signature is not base64");
  if (next + 1 != lines.size()) return Problem("lines follow the signature");
  d.signature = std::move(*der);
  d.signedLength = lines[next].second;

  const std::string offer = ManifestLine(d);
  for (std::size_t i = 0; i < 3; ++i) {
    if (lines[i].first != offer) {
      return Problem("manifest line " + std::to_string(i + 1) + " is not \"" + offer + "\", as the description says");
    }
  }
  ReleaseReading reading;
  reading.description = std::move(d);
  return reading;
}

std::string SignedReleaseText(const ReleaseDescription& d) {
  const std::string end(kLineEnd);
  const std::string manifest = ManifestLine(d) + end;
  std::string text = manifest + manifest + manifest + std::string(kFormatLine) + end + "release " +
                     std::to_string(d.release) + end;
  if (!d.expires.empty()) text += "expires " + d.expires + end;
  return text + PackageLine("application", d.application) + end + PackageLine("updater", d.updater) + end;
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
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  using namespace std::chrono;
  const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                            day{static_cast<unsigned>(number(8, 2))}};
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return duration_cast<seconds>(sys_days{date}.time_since_epoch()).count() + hour * 3600 + minute * 60 + second;
}

std::string CheckReleaseCurrent(const ReleaseDescription& d, std::uint64_t highestSeen, std::int64_t nowUtc) {
  if (d.release < highestSeen) {
    return "release " + std::to_string(d.release) + " is older than release " + std::to_string(highestSeen) +
           ", already seen here";
  }
  if (!d.expires.empty()) {
    const auto expires = ParseUtcTime(d.expires);
    if (!expires || nowUtc > *expires) return "release " + std::to_string(d.release) + " expired at " + d.expires;
  }
  return "";
}

std::string CheckPackageEntry(const PackageEntry& entry, std::uint64_t length, const std::string& sha256,
                              const std::optional<FileVersionNumbers>& version) {
  if (length != entry.length) {
    return std::to_string(length) + " bytes, not the " + std::to_string(entry.length) + " of the signed release";
  }
  if (sha256 != entry.sha256) return "its SHA-256 is not the signed release's";
  if (!version || *version != entry.version) {
    return "its version is not the signed release's " + entry.version.Dotted();
  }
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
