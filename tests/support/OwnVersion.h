// The updater's own dotted version, as the build set it
// (PELLARION_UPDATER_VERSION).
#pragma once

#include <string>

#include "BuildVersion.h"

namespace pellarion::testing {

inline std::string OwnVersion() {
  return std::to_string(PELLARION_VERSION_MAJOR) + "." + std::to_string(PELLARION_VERSION_MINOR) + "." +
         std::to_string(PELLARION_VERSION_BUILD) + "." + std::to_string(PELLARION_VERSION_REVISION);
}

}  // namespace pellarion::testing
