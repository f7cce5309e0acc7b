#pragma once

#include <string>

#include "platform/InstanceName.h"

namespace pellarion {

// The abstract socket name that marks a running updater whose executable has
// this full path. The kernel frees it when the process dies, however it dies.
inline std::string InstanceLockName(const std::string& exePath) {
  return InstanceName("osmerin-pellarion-updater-", exePath);
}

}  // namespace pellarion
