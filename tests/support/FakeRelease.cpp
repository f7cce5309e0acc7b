#include "tests/support/FakeRelease.h"

#include <cstdio>

namespace pellarion::testing {

PackageEntry FakeEntry(const FakeFile& package) {
  const std::string bytes = package.Bytes();
  PackageEntry entry;
  unsigned parts[4] = {};
  std::sscanf(package.version.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
  entry.version = {static_cast<std::uint16_t>(parts[0]), static_cast<std::uint16_t>(parts[1]),
                   static_cast<std::uint16_t>(parts[2]), static_cast<std::uint16_t>(parts[3])};
  entry.length = bytes.size();
  entry.sha256 = FakePlatform::Sha256Of(bytes);
  return entry;
}

std::string FakeSigned(const ReleaseDescription& release, const std::string& key) {
  const std::string text = SignedReleaseText(release);
  return text + SignatureLine(FakePlatform::FakeSignature(text, key));
}

std::string FakeSignedRelease(std::uint64_t number, const FakeFile& application, const FakeFile& updater,
                              const std::string& key, const FakeReleaseLines& lines) {
  ReleaseDescription release;
  release.release = number;
  release.channels = lines.channels;
  release.expires = lines.expires;
  release.rollout = lines.rollout;
  release.certificate = lines.certificate;
  release.application = FakeEntry(application);
  release.updater = FakeEntry(updater);
  return FakeSigned(release, key);
}

std::string FakeCertificate(const std::string& key, std::uint64_t sequence, const std::string& root,
                            const std::string& expires) {
  KeyCertificate certificate;
  certificate.key = key;
  certificate.sequence = sequence;
  certificate.expires = expires;
  const std::string text = SignedCertificateText(certificate);
  return text + SignatureLine(FakePlatform::FakeSignature(text, root));
}

}  // namespace pellarion::testing
