// The current user's browser cache folder, which the run purges before each
// download so that no copy cached by the system's own downloads is served in
// place of the server's file.
#pragma once

#include <string>

namespace pellarion {

class Platform;

// The log-on name of the current user; fails for a name of 200 characters or
// more, which the system's 200-character buffer cannot hold.
std::string GetCurrentUser(Platform& platform);

// The browser cache folder of `userName`.
std::string CacheFolder(const std::string& userName);

}  // namespace pellarion
