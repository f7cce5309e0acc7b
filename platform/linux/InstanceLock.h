#pragma once

#include <string>

namespace pellarion {

// The abstract socket name that marks a running updater whose executable has
// this full path. The kernel frees it when the process dies, however it dies.
std::string InstanceLockName(const std::string& exePath);

}  // namespace pellarion
