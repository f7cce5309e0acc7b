// The acceptance gate: the one check every package (the application's and
// the updater's, in both modes) passes before anything is stopped, swapped or
// staged. A package is accepted only when it is a whole executable, carries
// exactly the version the run was offered, and, in a build with a publisher
// key, bears the publisher's valid signature.
#pragma once

#include <optional>
#include <string>

#include "platform/Platform.h"

namespace pellarion {

struct GateVerdict {
  bool accepted = false;
  std::string reason;  // short English text for the log
};

// `offeredDigits`: the version digits the run compared ("20055"); an empty or
// non-numeric offer is never matched. `publisherKeySpki`: the build's key
// (DER), empty when the build carries none and no signature is needed.
// `signatureText`: the text of the package's `.sig` file, nothing when none
// arrived. Every failure, including one of the platform, is a refusal with a
// reason; nothing throws.
GateVerdict CheckPackage(Platform& platform, const std::string& packagePath,
                         const std::string& offeredDigits, const std::string& publisherKeySpki,
                         const std::optional<std::string>& signatureText);

}  // namespace pellarion
