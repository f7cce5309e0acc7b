// The download service: one URL into one file through one short-lived
// clsDownload. It tells its caller how the download ended; what the user sees,
// and the chores around a download (the browser cache, the mouse pointer), are
// the run's business.
#pragma once

#include <cstdint>
#include <string>

#include "download/clsDownload.h"
#include "download/DownloadLimits.h"

namespace pellarion {

class Platform;

// How one download ended.
struct DownloadOutcome {
  bool fetched = false;
  int status = 0;     // the final HTTP status, once the server answered
  std::string error;  // why not, when not fetched
  // Attempts that failed and were followed by another (see clsDownload).
  std::string history;
  // Body bytes that came over the network, every attempt counted.
  std::int64_t transferred = 0;
  // The run's time was over: the download did not start, or was ended.
  bool runOver = false;
};

// The text without its leading and trailing spaces.
std::string TrimSpaces(const std::string& text);

// Fetches `url` into `path` (both trimmed of surrounding spaces); `path` gets
// the body only when it arrived whole and `accept` accepted it.
DownloadOutcome DownloadFile(Platform& platform, const std::string& url, const std::string& path,
                             const DownloadLimits& limits = {}, const Acceptance& accept = {});

}  // namespace pellarion
