#pragma once

#include <string>

#include "platform/DownloadLimits.h"

namespace pellarion {

// WinHTTP's side of DownloadToFile (see Platform).
void WinHttpDownload(const std::string& url, const std::string& path, const DownloadLimits& limits);

}  // namespace pellarion
