#pragma once

#include "platform/Platform.h"

namespace pellarion {

// Adds an authorized-application entry to the Windows Firewall through the
// INetFw* interfaces. Setting each field is best effort (some are not
// implemented everywhere); the call fails only when no profile can be had or
// the entry cannot be added.
void AddFirewallApplication(FirewallProfile profile, const FirewallRule& rule);

}  // namespace pellarion
