// Whether a new version would be offered over the one a live manifest
// offers. The updater takes the dots out of a version and compares the
// digits as whole numbers, so 2.0.1.0 ("2010") is lower than 2.0.0.55
// ("20055") and would never be offered, however new it is.
#pragma once

#include <string>
#include <vector>

namespace pellarion::publish {

// Versions with as many parts as `newDotted` whose digits the updater takes
// for greater than `previousDigits`: the new version's leading parts with the
// smallest last part that works, then the smallest such version of all (each
// only when there is one, and not twice).
std::vector<std::string> VersionsThatWouldWork(const std::string& newDotted,
                                               const std::string& previousDigits);

// Empty when the updater would take `newDotted` for newer than
// `previousDigits`; otherwise why not, with both numbers and the versions
// that would work. `what` names the file ("the application").
std::string WhyNotOffered(const std::string& what, const std::string& newDotted,
                          const std::string& previousDigits);

}  // namespace pellarion::publish
