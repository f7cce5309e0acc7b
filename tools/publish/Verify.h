// Checks a published tree the way the updater will meet it: the manifest as
// the updater reads it, and each package through the updater's own
// acceptance gate.
#pragma once

#include <ostream>
#include <string>

#include "platform/Platform.h"

namespace pellarion::publish {

// True when `target` names a server by URL (http:// or https://).
bool IsUrl(const std::string& target);

// Checks the tree at `target`: a server's base URL (its files fetched with
// the updater's download service and limits), a server's tree (a folder
// holding update/) or a share's root (a folder holding Pellarion/).
// `publisherKeySpki` (DER) empty: signatures are not checked; otherwise every
// package needs a valid one beside it. Prints one line per finding, each
// starting with "ok" or "PROBLEM", and returns the number of problems.
// Fails (PublishError) when `target` is none of these.
int VerifyTree(Platform& platform, const std::string& target, const std::string& publisherKeySpki,
               std::ostream& out);

}  // namespace pellarion::publish
