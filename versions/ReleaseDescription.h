// The publisher's signed description of a release. It follows the three
// manifest lines in update.txt (on the server, and on a share as
// \Pellarion\update.txt), so one file, fetched in one request, carries both:
//
//   31012*31012*20056                 the manifest, three identical lines
//   31012*31012*20056                 (what every updater reads, with or
//   31012*31012*20056                  without a key)
//   pellarion-release 2               the format of what follows
//   release 20261209101500            grows with every release
//   channel server                    where it may be read: server, share, or
//                                     a server's host name; one or more
//   expires 2027-01-31T23:59:59Z      optional: the last second it is valid (UTC)
//   rollout 20                        optional: the share of workstations (in
//                                     percent, 0 to 99) that take it; absent: all
//   certificate <base64>              optional: the release key's certificate,
//                                     signed by the root key (below)
//   application 3.1.0.12 183296 <SHA-256 in 64 lower-case hex digits>
//   delta application <base's SHA-256> <length> <SHA-256>   none or more
//   updater 2.0.0.56 229376 <SHA-256>
//   delta updater <base's SHA-256> <length> <SHA-256>       none or more
//   signature <base64 of the DER ECDSA P-256 signature>
//
// Every line ends in CR LF, fields are separated by one space, and nothing
// follows the signature line. The signature is over the SHA-256 of every
// byte before the signature line, the manifest lines included, by the key
// the build trusts (the root key) or by a release key that a certificate in
// the description shows the root key vouches for. A package line binds a
// role to its file version, length and contents; the manifest's lines must
// offer exactly the version digits of the two package lines. A delta line
// binds a patch (zstd's patch format) that turns the file with the base's
// SHA-256 into that role's package; it is served beside the package (see
// DeltaFileName).
//
// A key certificate, the file `pellarion-publish certify` writes, in the
// same style:
//
//   pellarion-key-certificate 1
//   key <base64 of the release key's SubjectPublicKeyInfo, DER>
//   sequence 3                        grows with every key the root certifies
//   expires 2027-12-31T23:59:59Z      optional
//   signature <base64 of the root key's DER ECDSA P-256 signature>
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "versions/VersionRecord.h"

namespace pellarion {

enum class PackageRole { Application, Updater };

struct PackageEntry {
  FileVersionNumbers version;
  std::uint64_t length = 0;
  std::string sha256;  // the 32 bytes of the digest
};

// A patch that makes a role's package out of an earlier file; at most
// kMaxDeltas of them per role.
inline constexpr std::size_t kMaxDeltas = 16;
struct DeltaEntry {
  std::string baseSha256;  // the earlier file's digest (32 bytes)
  std::uint64_t length = 0;  // the patch's own length
  std::string sha256;        // the patch's own digest (32 bytes)
};

// The channels every updater knows: a description read from an update server
// must name "server" (or that server's host name), one read from a share
// "share".
inline constexpr std::string_view kServerChannel = "server";
inline constexpr std::string_view kShareChannel = "share";

struct ReleaseDescription {
  std::uint64_t release = 0;
  std::vector<std::string> channels;
  std::string expires;  // "2027-01-31T23:59:59Z"; empty: it does not expire
  int rollout = 100;    // percent of the workstations that take it
  std::string certificate;  // the key certificate's text; empty: signed by the root key
  PackageEntry application, updater;
  std::vector<DeltaEntry> applicationDeltas, updaterDeltas;
  // Read from a text only: how many of its bytes the signature covers, and
  // the signature (DER).
  std::size_t signedLength = 0;
  std::string signature;

  const PackageEntry& Entry(PackageRole role) const {
    return role == PackageRole::Application ? application : updater;
  }
  const std::vector<DeltaEntry>& Deltas(PackageRole role) const {
    return role == PackageRole::Application ? applicationDeltas : updaterDeltas;
  }
  // True when `channel` is one of the channels it names.
  bool Names(std::string_view channel) const;
};

struct ReleaseReading {
  std::optional<ReleaseDescription> description;
  // Nothing follows the manifest lines: an unsigned manifest.
  bool absent = false;
  std::string problem;  // why there is no description; short English text
};

// Reads update.txt as a whole text. Strict: anything but the format above,
// exactly, is a problem; the signatures are not checked here.
ReleaseReading ReadReleaseDescription(std::string_view text);

// What the publisher signs: the manifest lines and the description up to,
// not including, the signature line.
std::string SignedReleaseText(const ReleaseDescription& description);
// The last line, holding `derSignature`.
std::string SignatureLine(const std::string& derSignature);

// A channel name: 1 to 253 of the characters a-z, 0-9, '.' and '-', as a
// host name is written (in lower case).
bool IsChannelName(std::string_view name);

// The file a delta is served as, beside its package: "Pellarion.bin" and a
// base whose digest starts with a5a5... -> "Pellarion.bin.from-a5a5a5a5a5a5a5a5.zst".
std::string DeltaFileName(std::string_view packageName, const std::string& baseSha256);

struct KeyCertificate {
  std::string key;  // the certified release key, SubjectPublicKeyInfo (DER)
  std::uint64_t sequence = 0;
  std::string expires;  // as a description's; empty: it does not expire
  // Read from a text only, as a description's.
  std::size_t signedLength = 0;
  std::string signature;
};

struct CertificateReading {
  std::optional<KeyCertificate> certificate;
  std::string problem;
};

// Reads a key certificate's text, as strictly as a description.
CertificateReading ReadKeyCertificate(std::string_view text);
// What the root key signs: the certificate up to its signature line.
std::string SignedCertificateText(const KeyCertificate& certificate);

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

// What a keyed updater keeps beside itself (update.release) so that nothing
// older is taken again: the highest release seen per channel, and the
// highest key certificate sequence.
//
//   server 17
//   share 20261208233211
//   certificate 3
//
// One "name number" line each, CR LF. A record written before channels
// existed holds a bare number: it counts for `legacyChannel`, the channel
// of the run that reads it (a folder keeps its mode). Lines that cannot be
// read are skipped: a torn record never counts for more than it says.
struct TrustRecord {
  // Channel and release, each channel once (a few at most: no map needed).
  std::vector<std::pair<std::string, std::uint64_t>> releases;
  std::uint64_t certificateSequence = 0;

  std::uint64_t Release(std::string_view channel) const;
  // Raises the channel's release to `release` when that is higher.
  void Raise(std::string_view channel, std::uint64_t release);
};
TrustRecord ReadTrustRecord(std::string_view text, std::string_view legacyChannel);
std::string TrustRecordText(const TrustRecord& record);

// Lower-case hex digits of bytes (64 for a digest), and back: `length`
// bytes from exactly twice as many lower-case hex digits, else nothing.
std::string HexDigest(const std::string& bytes);
std::optional<std::string> ParseHex(std::string_view hex, std::size_t length);
inline std::optional<std::string> ParseHexDigest(std::string_view hex) { return ParseHex(hex, 32); }

}  // namespace pellarion
