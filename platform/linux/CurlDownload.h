#pragma once

#include <string>

#include "platform/DownloadLimits.h"

namespace pellarion {

// libcurl's side of DownloadToFile (see Platform): `localPath` is a Linux path.
// Returns the final HTTP status.
int CurlDownload(const std::string& url, const std::string& localPath, const DownloadLimits& limits);

}  // namespace pellarion
