// The download service of the update run: every fetch purges the current
// user's browser cache folder first, then hands the transfer to one
// short-lived clsDownload. It tells its caller how the download ended; what
// the user sees is the caller's business.
#pragma once

#include <string>

#include "download/clsDownload.h"
#include "platform/DownloadLimits.h"

namespace pellarion {

class Platform;

// The service's variables, kept on the window for the whole run.
struct DownloadVariables {
  std::string UserName;  // the last result of GetCurrentUser
};

// How one download ended.
struct DownloadOutcome {
  bool fetched = false;
  int status = 0;     // the final HTTP status, once the server answered
  std::string error;  // why not, when not fetched
};

// The log-on name of the current user; fails for a name of 200 characters or
// more, which the system's 200-character buffer cannot hold.
std::string GetCurrentUser(Platform& platform);

// The text without its leading and trailing spaces.
std::string TrimSpaces(const std::string& text);

// The browser cache folder purged before each download.
std::string CacheFolder(const std::string& userName);

// Fetches `url` into `path` (both trimmed of surrounding spaces) and resets
// the mouse pointer; `path` gets the body only when it arrived whole and
// `accept` accepted it. Every step runs under the continue-on-error rule.
DownloadOutcome DownloadFile(Platform& platform, DownloadVariables& vars, const std::string& url,
                             const std::string& path, const DownloadLimits& limits = {},
                             const Acceptance& accept = {});

}  // namespace pellarion
