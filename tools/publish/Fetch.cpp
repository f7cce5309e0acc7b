#include "tools/publish/Fetch.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "BuildVersion.h"
#include "platform/TemporaryFiles.h"
#include "tools/publish/Ticker.h"
#include "versions/EscapedText.h"

namespace pellarion::publish {

namespace {

// Shows the size of the arriving file (the download service writes it to
// `<path>.part`) on one terminal line while the download takes longer than
// a second, and clears the line at the end.
class ProgressLine {
 public:
  ProgressLine(const std::string& url, std::string arriving) : url_(EscapeControls(url)), arriving_(std::move(arriving)) {
    if (::isatty(STDOUT_FILENO) == 1) ticker_ = std::make_unique<Ticker>(1000, 250, [this] { Show(); });
  }
  ~ProgressLine() {
    ticker_.reset();
    if (width_ > 0) {
      std::printf("\r%*s\r", width_.load(), "");
      std::fflush(stdout);
    }
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void Show() {
    std::error_code error;
    const auto size = std::filesystem::file_size(arriving_, error);
    const double mib = error ? 0.0 : static_cast<double>(size) / 1048576.0;
    const int shown = std::printf("\r%s: %.1f MiB", url_.c_str(), mib);
    std::fflush(stdout);
    if (shown - 1 > width_) width_ = shown - 1;
  }

  std::string url_, arriving_;
  std::atomic<int> width_{0};  // the longest line shown
  std::unique_ptr<Ticker> ticker_;
};

}  // namespace

DownloadOutcome Fetch(Platform& platform, const std::string& url, const std::string& path,
                      std::int64_t maxBytes) {
  DownloadLimits limits;
  limits.maxBytes = maxBytes;
  // The tool names itself, so that a server's log keeps it apart from the
  // updaters of the fleet.
  static const std::string agent = "pellarion-publish/" + std::to_string(PELLARION_VERSION_MAJOR) + "." +
                                   std::to_string(PELLARION_VERSION_MINOR) + "." +
                                   std::to_string(PELLARION_VERSION_BUILD) + "." +
                                   std::to_string(PELLARION_VERSION_REVISION);
  limits.userAgent = agent.c_str();
  const ProgressLine progress(url, path + kDownloadSuffix);
  clsDownload download(platform, url, path, limits);
  download.Get_File();
  return download.Outcome();
}

}  // namespace pellarion::publish
