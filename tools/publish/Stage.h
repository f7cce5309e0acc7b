// Builds the tree a server or a share publishes from the build's two
// executables, signs it and checks it as the updater will.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "platform/Platform.h"

namespace pellarion::publish {

struct StageRequest {
  std::string application;  // the new Pellarion.exe
  std::string updater;      // the new update.exe
  std::string privateKey;   // PEM; empty: no signed release description
  std::string previous;     // the live manifest's URL or file; empty: no comparison
  std::optional<std::uint64_t> release;  // the release number the publisher gives
  std::string expires;      // YYYY-MM-DD, the last day the release is valid; empty: none
  bool share = false;       // the share's tree instead of the server's
  std::string out;          // the server's or share's root
};

// Checks both executables with the updater's gate, compares them with the
// previous manifest, writes the tree beside `out` (with a key, the signed
// release description in update.txt), moves it into place and verifies it
// there. Prints what it found and did; returns the number of
// problems the verification found. Fails (PublishError) when a file is
// refused or the tree cannot be written; `out` is then as it was.
int Stage(Platform& platform, const StageRequest& request, std::ostream& out);

}  // namespace pellarion::publish
