#include "download/DownloadService.h"

#include "download/clsDownload.h"

namespace pellarion {

std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

DownloadOutcome DownloadFile(Platform& platform, const std::string& url, const std::string& path,
                             const DownloadLimits& limits, const Acceptance& accept) {
  DownloadOutcome outcome;
  clsDownload download(platform, limits);
  outcome.fetched = download.Get_File(TrimSpaces(url), TrimSpaces(path), accept);
  outcome.status = download.LastStatus();
  if (!outcome.fetched) outcome.error = download.LastError();
  outcome.history = download.History();
  outcome.transferred = download.Transferred();
  outcome.runOver = download.RunOver();
  return outcome;
}

}  // namespace pellarion
