// The publisher's signed description of a release. It follows the three
// manifest lines in update.txt (on the server, and on a share as
// \Pellarion\update.txt), so one file, fetched in one request, carries both:
//
//   31012*31012*20056                 the manifest, three identical lines
//   31012*31012*20056                 (what every updater reads, with or
//   31012*31012*20056                  without a key)
//   pellarion-release 1               the format of what follows
//   release 17                        grows with every release
//   expires 2027-01-31T23:59:59Z      optional: the last second it is valid (UTC)
//   application 3.1.0.12 183296 <SHA-256 in 64 lower-case hex digits>
//   updater 2.0.0.56 229376 <SHA-256>
//   signature <base64 of the DER ECDSA P-256 signature>
//
// Every line ends in CR LF, fields are separated by one space, and nothing
// follows the signature line. The signature is over the SHA-256 of every
// byte before the signature line, the manifest lines included. A package
// line binds a role to its file version, length and contents; the manifest's
// lines must offer exactly the version digits of the two package lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "versions/VersionRecord.h"

namespace pellarion {

enum class PackageRole { Application, Updater };

struct PackageEntry {
  FileVersionNumbers version;
  std::uint64_t length = 0;
  std::string sha256;  // the 32 bytes of the digest
};

struct ReleaseDescription {
  std::uint64_t release = 0;
  std::string expires;  // "2027-01-31T23:59:59Z"; empty: it does not expire
  PackageEntry application, updater;
  // Read from a text only: how many of its bytes the signature covers, and
  // the signature (DER).
  std::size_t signedLength = 0;
  std::string signature;

  const PackageEntry& Entry(PackageRole role) const {
    return role == PackageRole::Application ? application : updater;
  }
};

struct ReleaseReading {
  std::optional<ReleaseDescription> description;
  // Nothing follows the manifest lines: an unsigned manifest.
  bool absent = false;
  std::string problem;  // why there is no description; short English text
};

// Reads update.txt as a whole text. Strict: anything but the format above,
// exactly, is a problem; the signature is not checked here.
ReleaseReading ReadReleaseDescription(std::string_view text);

// What the publisher signs: the manifest lines and the description up to,
// not including, the signature line.
std::string SignedReleaseText(const ReleaseDescription& description);
// The last line, holding `derSignature`.
std::string SignatureLine(const std::string& derSignature);

// "2027-01-31T23:59:59Z" as seconds since 1970-01-01 UTC; nothing when the
// text is not such a time (a date that does not exist included).
std::optional<std::int64_t> ParseUtcTime(std::string_view text);

// Why a description with a valid signature may still not be acted on, or
// empty when it may: a lower release number than `highestSeen` (an older
// release replayed), or its expiry passed at `nowUtc` (seconds since 1970).
std::string CheckReleaseCurrent(const ReleaseDescription& description, std::uint64_t highestSeen,
                                std::int64_t nowUtc);

// Why a package is not the one `entry` describes, or empty when it is: its
// length, its SHA-256 (32 bytes) and its own file version must all be the
// entry's.
std::string CheckPackageEntry(const PackageEntry& entry, std::uint64_t length, const std::string& sha256,
                              const std::optional<FileVersionNumbers>& version);

// 64 lower-case hex digits of a digest, and back (nothing unless exactly
// that).
std::string HexDigest(const std::string& bytes);
std::optional<std::string> ParseHexDigest(std::string_view hex);

}  // namespace pellarion
