// The signed release description a stage writes after the manifest lines:
// which release number it gets, when it expires, and each package's version,
// length and SHA-256, signed with the publisher's key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "tools/publish/PublisherKeys.h"
#include "versions/ReleaseDescription.h"

namespace pellarion::publish {

// The release number of a new stage, one rule for servers and shares:
// `given` (--release) when the publisher gave one, else the time `nowUtc` as
// the digits YYYYMMDDhhmmss, or one more than `live` (the live description's,
// when --previous has one) when that is higher. Fails when it would not be
// higher than `live`: updaters that have seen the live release would refuse
// it.
std::uint64_t ChooseRelease(std::optional<std::uint64_t> given, std::optional<std::uint64_t> live,
                            std::int64_t nowUtc);

// "2027-01-31" -> "2027-01-31T23:59:59Z", the last second of that day in UTC;
// nothing for anything but an existing date in that form.
std::optional<std::string> EndOfDayUtc(const std::string& date);

// The entry of the executable at `path`: its version record, length and
// SHA-256, read through the platform.
PackageEntry EntryOf(Platform& platform, const std::string& path);

// The whole text of update.txt for `description` (its packages' entries
// filled in), signed with `key`.
std::string SignRelease(const ReleaseDescription& description, const PrivateKey& key);

// The whole text of a key certificate for `certificate` (its key, sequence
// and expiry filled in), signed with the root key `root`.
std::string SignCertificate(const KeyCertificate& certificate, const PrivateKey& root);

// How a public key (SubjectPublicKeyInfo, DER) is named to people: the
// SHA-256 of those bytes in hex, as `openssl pkey -pubin -outform DER |
// sha256sum` shows it.
std::string KeyFingerprint(Platform& platform, const std::string& spki);

}  // namespace pellarion::publish
