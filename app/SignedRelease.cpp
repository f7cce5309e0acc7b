#include "app/SignedRelease.h"

#include <exception>

#include "app/ContinueOnError.h"
#include "app/Files.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

TrustedRelease TrustRelease(Platform& platform, const std::string& text, const std::string& publisherKeySpki,
                            std::uint64_t highestSeen) {
  ReleaseReading reading = ReadReleaseDescription(text);
  if (!reading.description) return {std::nullopt, reading.problem};
  const ReleaseDescription& d = *reading.description;
  try {
    const std::unique_ptr<Sha256> hash = platform.StartSha256();
    hash->Add(text.data(), d.signedLength);
    if (!platform.VerifySignature(hash->Finish(), d.signature, publisherKeySpki)) {
      return {std::nullopt, "the signature is not the publisher's"};
    }
    if (std::string why = CheckReleaseCurrent(d, highestSeen, platform.UtcSeconds()); !why.empty()) {
      return {std::nullopt, why};
    }
  } catch (const std::exception& e) {
    return {std::nullopt, std::string("cannot check the signature: ") + e.what()};
  }
  return {std::move(reading.description), ""};
}

std::uint64_t ReadReleaseRecord(Platform& platform, const std::string& path) {
  std::string text;  // none before the first valid release
  Try([&] { text = platform.FileExists(path) ? ReadSmallFile(platform, path, 64) : ""; });
  std::uint64_t release = 0;
  for (std::size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 18; ++i) {
    release = release * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return release;
}

void WriteReleaseRecord(Platform& platform, const std::string& path, std::uint64_t release) {
  const std::string next = path + kDownloadSuffix;
  if (platform.FileExists(next)) platform.RemoveFile(next);
  platform.AppendToFile(next, std::to_string(release) + "\r\n");
  platform.MoveReplacing(next, path);
}

}  // namespace pellarion
