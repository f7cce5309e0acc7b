// The download service of the update run: every fetch purges the current
// user's browser cache folder first, then hands the transfer to one
// short-lived clsDownload.
#pragma once

#include <string>

#include "platform/DownloadLimits.h"

namespace pellarion {

class Form1;
class Platform;

// The log-on name of the current user; fails for a name of 200 characters or
// more, which the system's 200-character buffer cannot hold.
std::string GetCurrentUser(Platform& platform);

// The browser cache folder purged before each download.
std::string CacheFolder(const std::string& userName);

// Fetches `url` into `path` (both trimmed of surrounding spaces). Shows the
// connection-failure text when the download fails; resets the mouse pointer.
// Every step runs under the continue-on-error rule. True when the file was
// fetched.
bool DownloadFile(Platform& platform, Form1& form, const std::string& url, const std::string& path,
                  const DownloadLimits& limits = {});

}  // namespace pellarion
