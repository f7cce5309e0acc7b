// The name that marks a running updater, one per executable path, on both
// systems (a named mutex on Windows, an abstract socket on Linux).
#pragma once

#include <string>

namespace pellarion {

// `prefix` followed by the 16 hex digits of a 64-bit FNV-1a hash of
// `foldedPath` (with the offset basis the first release used: it is one
// digit short of FNV's, and kept so released updaters still meet this one), the executable's full path folded the way the system compares
// paths. Stable across builds, so an older and a newer updater at the same
// path see each other; the hash keeps the name short and free of separators.
std::string InstanceName(const std::string& prefix, const std::string& foldedPath);

}  // namespace pellarion
