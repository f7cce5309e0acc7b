#pragma once

#include <string>

#include "platform/DownloadLimits.h"

namespace pellarion {

// WinHTTP's side of DownloadToFile (see Platform).
// Returns the final HTTP status.
int WinHttpDownload(const std::string& url, const std::string& path, const DownloadLimits& limits);

}  // namespace pellarion
