// Whether workstations would take a new file over the one a live tree
// offers. Two checks decide it, and both must hold:
//   - the offer: the updater takes the dots out of a version and compares
//     the digits as whole numbers, so 2.0.1.0 ("2010") is lower than
//     2.0.0.55 ("20055") and is never offered, however new it is;
//   - the package: the updater installs a file only when its version is
//     higher, part by part, than the installed file's, so 2.0.0.100
//     ("200100") is offered over 3.1.0.12 ("31012") and then refused.
#pragma once

#include <string>
#include <vector>

#include "versions/VersionRecord.h"

namespace pellarion::publish {

// What a live tree offers for one role.
struct LiveVersion {
  std::string digits;          // the live manifest's offer: "31012"
  FileVersionNumbers version;  // the live file's version: 3.1.0.12
  // False when no file or description names the version: `version` is then
  // the lowest whose digits are `digits` (LowestVersionWithDigits).
  bool known = true;
};

// The lowest four-part version whose digits are `digits` (blanks left out):
// 3.1.0.12 for "31012", 1.0.0.1 for "1001"; 0.0.0.0 when no version has
// them (fewer than four digits, or too many).
FileVersionNumbers LowestVersionWithDigits(const std::string& digits);

// True when workstations at `live` would take `file`: both checks hold.
bool WouldBeTaken(const FileVersionNumbers& file, const LiveVersion& live);

// Versions close to `file` that would be taken over `live`: `file`'s first
// three parts with the smallest last part that works, then the smallest
// version after the live one (each only when there is one, and not twice).
std::vector<FileVersionNumbers> VersionsThatWouldWork(const FileVersionNumbers& file, const LiveVersion& live);

// Empty when `file` would be taken over `live`; otherwise why not, in words,
// with the versions that would work. `what` names the file ("the updater").
std::string WhyNotTaken(const std::string& what, const FileVersionNumbers& file, const LiveVersion& live);

}  // namespace pellarion::publish
