// Checks a published tree the way the updater will meet it: the manifest as
// the updater reads it, the signed release description, and each package
// through the updater's own acceptance gate.
#pragma once

#include <ostream>
#include <string>

#include "platform/Platform.h"
#include "versions/ReleaseDescription.h"

namespace pellarion::publish {

// True when `target` names a server by URL (http:// or https://).
bool IsUrl(const std::string& target);

// Where a server's tree holds the delta for `role` from the file whose
// SHA-256 is `baseSha256`: beside its package, "update/Pellarion.bin.from-....zst".
std::string DeltaPath(PackageRole role, const std::string& baseSha256);

// Checks the tree at `target`: a server's base URL (its files fetched with
// the updater's download service and limits), a server's tree (a folder
// holding update/) or a share's root (a folder holding Pellarion/).
// Each package must be the one the tree's release description names for its
// role, when there is one. `publisherKeySpki` (DER) empty: the description's
// signature is not checked, and a tree without one passes; otherwise the
// tree needs a description validly signed with that key and not expired.
// Prints one line per finding, each starting with "ok" or "PROBLEM", and
// returns the number of problems.
// Fails (PublishError) when `target` is none of these.
int VerifyTree(Platform& platform, const std::string& target, const std::string& publisherKeySpki,
               std::ostream& out);

}  // namespace pellarion::publish
