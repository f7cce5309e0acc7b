#include "versions/ReleaseDescription.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "versions/Decimal.h"
#include "versions/SignatureText.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

constexpr std::string_view kFormatLine = "pellarion-release 2";
constexpr std::string_view kCertificateFormatLine = "pellarion-key-certificate 1";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::size_t kMaxChannels = 8;
// Three manifest lines, the format, the release, the channel, the expiry,
// the rollout, the certificate, two packages with their deltas and the
// signature.
constexpr std::size_t kMaxLines = 12 + 2 * kMaxDeltas;
// A P-256 signature in DER is at most 72 bytes; a certificate a few hundred.
constexpr std::size_t kMaxSignatureBase64 = 256;
constexpr std::size_t kMaxCertificateBase64 = 2048;
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

// The lines of a text whose every line ends in CR LF, at most `max` of them.
struct Lines {
  std::vector<std::string_view> lines;
  std::string problem;
};
Lines SplitLines(std::string_view text, std::size_t max, const char* what) {
  Lines result;
  for (std::size_t at = 0; at < text.size();) {
    if (result.lines.size() == max) return {{}, std::string("more lines than ") + what + " has"};
    const std::size_t end = text.find(kLineEnd, at);
    const std::string_view line = text.substr(at, end - at);
    if (end == std::string_view::npos || line.find_first_of(kLineEnd) != std::string_view::npos) {
      return {{}, "a line does not end in CR LF"};
    }
    result.lines.push_back(line);
    at = end + kLineEnd.size();
  }
  return result;
}

// Walks the lines of a description or certificate in order; every reader
// takes the current line or leaves it for the next one.
class Cursor {
 public:
  Cursor(const std::vector<std::string_view>& lines, std::size_t first) : lines_(lines), at_(first) {}
  bool AtEnd() const { return at_ >= lines_.size(); }
  std::string_view Line() const { return AtEnd() ? std::string_view() : lines_[at_]; }
  void Next() { ++at_; }
  // The fields of the current line when it has `count` of them and starts
  // with `name`. The caller takes the line (Next) once it has read them.
  bool Fields(std::string_view name, std::string_view* fields, std::size_t count) const {
    return !AtEnd() && Split(lines_[at_], fields, count) && fields[0] == name;
  }
  std::string Wrong() const {
    return "line " + std::to_string(at_ + 1) + " does not follow the format";
  }

 private:
  const std::vector<std::string_view>& lines_;
  std::size_t at_;
};

std::optional<std::string> Base64Field(std::string_view text, std::size_t max) {
  if (text.size() > max) return std::nullopt;
  auto bytes = DecodeBase64(text);
  if (!bytes || bytes->empty()) return std::nullopt;
  return bytes;
}

// "application 3.1.0.12 183296 <hex>" for `role`.
bool ReadPackageLine(Cursor& cursor, std::string_view role, PackageEntry& entry) {
  std::string_view fields[4];
  if (!cursor.Fields(role, fields, 4) || !ReadVersion(fields[1], entry.version)) return false;
  entry.length = Decimal(fields[2]);
  auto sha256 = ParseHexDigest(fields[3]);
  if (entry.length == kNoNumber || entry.length == 0 || !sha256) return false;
  entry.sha256 = std::move(*sha256);
  cursor.Next();
  return true;
}

// "delta application <base hex> <length> <hex>" lines for `role`, after its
// package line. False for a malformed one, too many, or a base listed twice.
bool ReadDeltaLines(Cursor& cursor, std::string_view role, std::vector<DeltaEntry>& deltas) {
  std::string_view fields[5];
  while (Split(cursor.Line(), fields, 5) && fields[0] == "delta") {
    DeltaEntry delta;
    auto base = ParseHexDigest(fields[2]);
    auto sha256 = ParseHexDigest(fields[4]);
    delta.length = Decimal(fields[3]);
    if (fields[1] != role || !base || !sha256 || delta.length == kNoNumber || delta.length == 0 ||
        deltas.size() == kMaxDeltas) {
      return false;
    }
    for (const DeltaEntry& other : deltas) {
      if (other.baseSha256 == *base) return false;
    }
    delta.baseSha256 = std::move(*base);
    delta.sha256 = std::move(*sha256);
    deltas.push_back(std::move(delta));
    cursor.Next();
  }
  return true;
}

// The optional "expires <time>" line.
bool ReadExpiry(Cursor& cursor, std::string& expires) {
  std::string_view fields[2];
  if (!cursor.Fields("expires", fields, 2)) return true;
  if (!ParseUtcTime(fields[1])) return false;
  expires = fields[1];
  cursor.Next();
  return true;
}

// The last line: the signature, of which `signedLength` bytes of `text` are
// covered. Empty: the line is missing or wrong (the cursor says where).
std::optional<std::string> ReadSignature(Cursor& cursor, std::string_view text, std::size_t& signedLength) {
  std::string_view fields[2];
  if (!cursor.Fields("signature", fields, 2)) return std::nullopt;
  auto der = Base64Field(fields[1], kMaxSignatureBase64);
  if (!der) return std::nullopt;
  signedLength = static_cast<std::size_t>(cursor.Line().data() - text.data());
  cursor.Next();
  return der;
}

std::string EntryLine(const char* role, const PackageEntry& entry) {
  return std::string(role) + " " + entry.version.Dotted() + " " + std::to_string(entry.length) + " " +
         HexDigest(entry.sha256) + std::string(kLineEnd);
}

std::string DeltaLines(const char* role, const std::vector<DeltaEntry>& deltas) {
  std::string text;
  for (const DeltaEntry& delta : deltas) {
    text += std::string("delta ") + role + " " + HexDigest(delta.baseSha256) + " " + std::to_string(delta.length) +
            " " + HexDigest(delta.sha256) + std::string(kLineEnd);
  }
  return text;
}

ReleaseReading Problem(std::string why) {
  ReleaseReading reading;
  reading.problem = std::move(why);
  return reading;
}

}  // namespace

bool ReleaseDescription::Names(std::string_view channel) const {
  for (const std::string& name : channels) {
    if (name == channel) return true;
  }
  return false;
}

ReleaseReading ReadReleaseDescription(std::string_view text) {
  const Lines split = SplitLines(text, kMaxLines, "a release description");
  if (!split.problem.empty()) return Problem(split.problem);
  const std::vector<std::string_view>& lines = split.lines;
  if (lines.size() <= 3) {
    ReleaseReading reading = Problem(lines.size() == 3 ? "no signed release description after the manifest"
                                                       : "fewer than the three manifest lines");
    reading.absent = lines.size() == 3;
    return reading;
  }
  if (lines[3] == "pellarion-release 1") {
    return Problem("the release description is of an older format (pellarion-release 1), which names no "
                   "channel: stage the release again with a current pellarion-publish");
  }

  ReleaseReading reading;
  ReleaseDescription& d = reading.description.emplace();
  Cursor cursor(lines, 3);
  std::string_view fields[2];
  if (cursor.Line() != kFormatLine) return Problem(cursor.Wrong());
  cursor.Next();
  if (!cursor.Fields("release", fields, 2) || (d.release = Decimal(fields[1])) == kNoNumber || d.release == 0) {
    return Problem(cursor.Wrong());
  }
  cursor.Next();
  // "channel NAME [NAME...]"
  {
    const std::string_view line = cursor.Line();
    if (line.substr(0, 8) != "channel ") return Problem(cursor.Wrong());
    for (std::string_view rest = line.substr(8);;) {
      const std::size_t space = rest.find(' ');
      const std::string_view name = rest.substr(0, space);
      if (!IsChannelName(name) || d.Names(name) || d.channels.size() == kMaxChannels) return Problem(cursor.Wrong());
      d.channels.emplace_back(name);
      if (space == std::string_view::npos) break;
      rest.remove_prefix(space + 1);
    }
    cursor.Next();
  }
  if (!ReadExpiry(cursor, d.expires)) return Problem(cursor.Wrong());
  // A rollout of 100 is written as no rollout line at all.
  if (cursor.Fields("rollout", fields, 2)) {
    const std::uint64_t percent = Decimal(fields[1]);
    if (percent >= 100) return Problem(cursor.Wrong());
    d.rollout = static_cast<int>(percent);
    cursor.Next();
  }
  if (cursor.Fields("certificate", fields, 2)) {
    auto certificate = Base64Field(fields[1], kMaxCertificateBase64);
    if (!certificate) return Problem(cursor.Wrong());
    d.certificate = std::move(*certificate);
    cursor.Next();
  }
  if (!ReadPackageLine(cursor, "application", d.application)) return Problem(cursor.Wrong());
  if (!ReadDeltaLines(cursor, "application", d.applicationDeltas)) return Problem(cursor.Wrong());
  if (!ReadPackageLine(cursor, "updater", d.updater)) return Problem(cursor.Wrong());
  if (!ReadDeltaLines(cursor, "updater", d.updaterDeltas)) return Problem(cursor.Wrong());
  auto der = ReadSignature(cursor, text, d.signedLength);
  if (!der) return Problem(cursor.Wrong());
  if (!cursor.AtEnd()) return Problem("lines follow the signature");
  d.signature = std::move(*der);

  const std::string offer = ManifestLine(d);
  for (std::size_t m = 0; m < 3; ++m) {
    if (lines[m] != offer) return Problem("the manifest lines are not the release's offers");
  }
  return reading;
}

std::string SignedReleaseText(const ReleaseDescription& d) {
  const std::string end(kLineEnd);
  const std::string manifest = ManifestLine(d) + end;
  std::string text = manifest + manifest + manifest + std::string(kFormatLine) + end + "release " +
                     std::to_string(d.release) + end + "channel";
  for (const std::string& channel : d.channels) text += " " + channel;
  text += end;
  if (!d.expires.empty()) text += "expires " + d.expires + end;
  if (d.rollout != 100) text += "rollout " + std::to_string(d.rollout) + end;
  if (!d.certificate.empty()) text += "certificate " + EncodeBase64(d.certificate) + end;
  return text + EntryLine("application", d.application) + DeltaLines("application", d.applicationDeltas) +
         EntryLine("updater", d.updater) + DeltaLines("updater", d.updaterDeltas);
}

std::string SignatureLine(const std::string& derSignature) {
  return "signature " + EncodeBase64(derSignature) + std::string(kLineEnd);
}

bool IsChannelName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  for (const char c : name) {
    if (!IsDigit(c) && !(c >= 'a' && c <= 'z') && c != '.' && c != '-') return false;
  }
  return true;
}

std::string DeltaFileName(std::string_view packageName, const std::string& baseSha256) {
  return std::string(packageName) + ".from-" + HexDigest(baseSha256.substr(0, 8)) + ".zst";
}

CertificateReading ReadKeyCertificate(std::string_view text) {
  const Lines split = SplitLines(text, 5, "a key certificate");
  CertificateReading reading;
  if (!split.problem.empty()) {
    reading.problem = split.problem;
    return reading;
  }
  const auto problem = [&](std::string why) {
    CertificateReading failed;
    failed.problem = "the key certificate: " + std::move(why);
    return failed;
  };
  Cursor cursor(split.lines, 0);
  std::string_view fields[2];
  KeyCertificate& c = reading.certificate.emplace();
  if (cursor.Line() != kCertificateFormatLine) return problem(cursor.Wrong());
  cursor.Next();
  auto key = cursor.Fields("key", fields, 2) ? Base64Field(fields[1], kMaxSignatureBase64) : std::nullopt;
  if (!key) return problem(cursor.Wrong());
  c.key = std::move(*key);
  cursor.Next();
  if (!cursor.Fields("sequence", fields, 2) || (c.sequence = Decimal(fields[1])) == kNoNumber || c.sequence == 0) {
    return problem(cursor.Wrong());
  }
  cursor.Next();
  if (!ReadExpiry(cursor, c.expires)) return problem(cursor.Wrong());
  auto der = ReadSignature(cursor, text, c.signedLength);
  if (!der) return problem(cursor.Wrong());
  if (!cursor.AtEnd()) return problem("lines follow the signature");
  c.signature = std::move(*der);
  return reading;
}

std::string SignedCertificateText(const KeyCertificate& c) {
  const std::string end(kLineEnd);
  std::string text = std::string(kCertificateFormatLine) + end + "key " + EncodeBase64(c.key) + end + "sequence " +
                     std::to_string(c.sequence) + end;
  if (!c.expires.empty()) text += "expires " + c.expires + end;
  return text;
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

std::uint64_t TrustRecord::Release(std::string_view channel) const {
  for (const auto& [name, release] : releases) {
    if (name == channel) return release;
  }
  return 0;
}

void TrustRecord::Raise(std::string_view channel, std::uint64_t release) {
  for (auto& [name, kept] : releases) {
    if (name == channel) {
      kept = std::max(kept, release);
      return;
    }
  }
  releases.emplace_back(channel, release);
}

TrustRecord ReadTrustRecord(std::string_view text, std::string_view legacyChannel) {
  TrustRecord record;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view fields[2];
    std::uint64_t number = kNoNumber;
    if (Split(line, fields, 2)) {
      number = Decimal(fields[1]);
    } else {
      fields[0] = legacyChannel;  // a bare number, written before channels existed
      number = Decimal(line);
    }
    if (number == kNoNumber) continue;
    if (fields[0] == "certificate") {
      record.certificateSequence = std::max(record.certificateSequence, number);
    } else if (IsChannelName(fields[0])) {
      record.Raise(fields[0], number);
    }
  }
  return record;
}

std::string TrustRecordText(const TrustRecord& record) {
  std::string text;
  for (const auto& [channel, release] : record.releases) {
    text += channel + " " + std::to_string(release) + std::string(kLineEnd);
  }
  if (record.certificateSequence > 0) {
    text += "certificate " + std::to_string(record.certificateSequence) + std::string(kLineEnd);
  }
  return text;
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

std::optional<std::string> ParseHex(std::string_view hex, std::size_t length) {
  if (hex.size() != 2 * length) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high << 4 | low));
  }
  return bytes;
}

}  // namespace pellarion
