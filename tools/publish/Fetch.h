// Downloads for the publisher's tool, through the updater's own download
// (clsDownload), so the tool sees a server exactly as the updater does (the same
// limits, the same refusal of a cut-off or partial body).
#pragma once

#include <cstdint>
#include <string>

#include "download/clsDownload.h"
#include "platform/Platform.h"

namespace pellarion::publish {

// Fetches `url` into `path` with the updater's limits and a body of at most
// `maxBytes`. While it runs longer than a second and standard output is a
// terminal, a line shows how much has arrived.
DownloadOutcome Fetch(Platform& platform, const std::string& url, const std::string& path,
                      std::int64_t maxBytes);

}  // namespace pellarion::publish
