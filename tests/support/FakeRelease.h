// Signed release descriptions for the in-memory platform: the entries of
// fake packages, and the text of update.txt with the fake's signature.
#pragma once

#include <string>
#include <vector>

#include "tests/support/FakePlatform.h"
#include "versions/ReleaseDescription.h"

namespace pellarion::testing {

// The entry of `package` as a reader of the fake's files sees it: its version
// record, the length and the SHA-256 of FakeFile::Bytes.
PackageEntry FakeEntry(const FakeFile& package);

// `release` as update.txt holds it, signed by `key`.
std::string FakeSigned(const ReleaseDescription& release, const std::string& key);

// What a release says besides its packages.
struct FakeReleaseLines {
  std::string expires = "";  // none when empty
  std::vector<std::string> channels = {"server", "share"};
  int rollout = 100;
  std::string certificate = "";  // the text of the signing key's certificate (FakeCertificate)
};

// Release `number` of `application` and `updater`, as update.txt holds it,
// signed by `key` (with the fake's signature).
std::string FakeSignedRelease(std::uint64_t number, const FakeFile& application, const FakeFile& updater,
                              const std::string& key, const FakeReleaseLines& lines = {});

// The certificate by which `root` vouches for the release key `key`.
std::string FakeCertificate(const std::string& key, std::uint64_t sequence, const std::string& root,
                            const std::string& expires = "");

}  // namespace pellarion::testing
