// The smallest executable the updater's readers accept: an ELF image with
// the fixed version record in the section the version reader looks for, and
// `payload` as its code, so different payloads make different files.
#pragma once

#include <string>

namespace pellarion::testing {

// `dottedVersion` is "a.b.c.d".
std::string StandInImage(const std::string& dottedVersion, const std::string& payload);

}  // namespace pellarion::testing
