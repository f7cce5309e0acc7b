// The signed release description as a keyed updater takes it: read from
// update.txt, its signature checked with the build's key through the
// system's cryptography, and current. The highest release number any valid
// description showed is kept beside the updater, so that an older release,
// validly signed, cannot be replayed to this folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "versions/ReleaseDescription.h"

namespace pellarion {

struct TrustedRelease {
  std::optional<ReleaseDescription> description;  // nothing: not trusted
  std::string reason;                             // why not; short English text
};

// The description in `text` when it is well formed, signed by the key
// `publisherKeySpki` (DER), not older than `highestSeen` and not expired
// now (the platform's clock). A failure of the platform is a refusal with a
// reason; nothing throws.
TrustedRelease TrustRelease(Platform& platform, const std::string& text, const std::string& publisherKeySpki,
                            std::uint64_t highestSeen);

// The release number recorded at `path`; 0 when there is none or it cannot
// be read.
std::uint64_t ReadReleaseRecord(Platform& platform, const std::string& path);

// Records `release` at `path` in one step: written beside it, then moved in
// its place. Fails (PlatformError) when it cannot.
void WriteReleaseRecord(Platform& platform, const std::string& path, std::uint64_t release);

}  // namespace pellarion
