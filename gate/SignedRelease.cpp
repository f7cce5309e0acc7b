#include "gate/SignedRelease.h"

#include <exception>

#include "gate/ContinueOnError.h"
#include "gate/Files.h"
#include "platform/TemporaryFiles.h"
#include "versions/Decimal.h"

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
  // The number on the first line; a line that is not one holds none.
  return ParseDecimal(std::string_view(text).substr(0, text.find_first_of("\r\n"))).value_or(0);
}

void WriteReleaseRecord(Platform& platform, const std::string& path, std::uint64_t release) {
  const std::string next = path + kDownloadSuffix;
  if (platform.FileExists(next)) platform.RemoveFile(next);
  platform.AppendToFile(next, std::to_string(release) + "\r\n");
  platform.MoveReplacing(next, path);
}

}  // namespace pellarion
