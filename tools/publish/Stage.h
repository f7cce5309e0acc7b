// Builds the tree a server or a share publishes from the build's two
// executables, signs it and checks it as the updater will.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace pellarion::publish {

struct StageRequest {
  std::string application;  // the new Pellarion.exe
  std::string updater;      // the new update.exe
  std::string privateKey;   // PEM; empty: no signed release description
  std::string previous;     // the live manifest's URL or file; empty: no comparison
  // With a key only (the command line refuses them without one):
  std::optional<std::uint64_t> release;  // the release number the publisher gives
  std::string expires;      // YYYY-MM-DD, the last day the release is valid; empty: none
  int rollout = 100;        // the percentage of the workstations that take it
  // Where the release may be read (server, share, a server's host name);
  // empty: the server, or with `share` the share.
  std::vector<std::string> channels;
  std::string certificate;  // the key certificate's file when `privateKey` is a release key
  bool share = false;       // the share's tree instead of the server's
  // Earlier builds of the application or of the updater to make deltas
  // from (a server's tree with a key only; the command line refuses them
  // otherwise).
  std::vector<std::string> deltaFrom;
  std::string out;          // the server's or share's root
};

// Checks the expiry, the key (and the certificate that names it), both
// executables with the updater's gate and against the previous manifest,
// and the delta bases, writes the tree beside `out` (with a key, the signed
// release description in update.txt, and each delta beside its package),
// verifies it there as the updater will meet it, and only then moves it into
// place. Prints what it found and did. Fails
// (PublishError) when anything is refused or found wrong, before `out` is
// touched, or when the tree cannot be written or moved.
void Stage(Platform& platform, const StageRequest& request, std::ostream& out);

}  // namespace pellarion::publish
