#include "tools/publish/Fetch.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/TemporaryFiles.h"
#include "versions/EscapedText.h"

namespace pellarion::publish {

namespace {

// Shows the size of the arriving file (the download service writes it to
// `<path>.part`) on one terminal line until destroyed.
class ProgressLine {
 public:
  ProgressLine(std::string url, std::string arriving)
      : url_(EscapeControls(url)), arriving_(std::move(arriving)) {
    if (::isatty(STDOUT_FILENO) == 1) thread_ = std::thread([this] { Show(); });
  }
  ~ProgressLine() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  void Show() {
    using namespace std::chrono_literals;
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, 1s, [this] { return done_; })) return;  // short transfers show nothing
    do {
      std::error_code error;
      const auto size = std::filesystem::file_size(arriving_, error);
      const double mib = error ? 0.0 : static_cast<double>(size) / 1048576.0;
      std::printf("\r%s: %.1f MiB", url_.c_str(), mib);
      std::fflush(stdout);
    } while (!wake_.wait_for(lock, 250ms, [this] { return done_; }));
    std::printf("\r\033[K");
    std::fflush(stdout);
  }

  std::string url_, arriving_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

DownloadOutcome Fetch(Platform& platform, const std::string& url, const std::string& path,
                      std::int64_t maxBytes) {
  DownloadLimits limits;
  limits.maxBytes = maxBytes;
  const ProgressLine progress(url, path + kDownloadSuffix);
  return DownloadFile(platform, url, path, limits);
}

}  // namespace pellarion::publish
