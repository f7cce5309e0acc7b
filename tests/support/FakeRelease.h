// Signed release descriptions for the in-memory platform: the entries of
// fake packages, and the text of update.txt with the fake's signature.
#pragma once

#include <string>

#include "tests/support/FakePlatform.h"
#include "versions/ReleaseDescription.h"

namespace pellarion::testing {

// The entry of `package` as a reader of the fake's files sees it: its version
// record, the length and the SHA-256 of FakeFile::Bytes.
PackageEntry FakeEntry(const FakeFile& package);

// `release` as update.txt holds it, signed by `key`.
std::string FakeSigned(const ReleaseDescription& release, const std::string& key);

// Release `number` of `application` and `updater`, expiring at `expires`
// (none when empty), for `channels`, as update.txt holds it, signed by `key`.
std::string FakeSignedRelease(std::uint64_t number, const FakeFile& application, const FakeFile& updater,
                              const std::string& key, const std::string& expires = "",
                              std::vector<std::string> channels = {"server", "share"});

}  // namespace pellarion::testing
