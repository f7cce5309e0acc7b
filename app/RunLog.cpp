#include "app/RunLog.h"

namespace pellarion {

RunLog::RunLog(Platform& platform) : platform_(platform), previous_(CurrentFailureObserver()) {
  CurrentFailureObserver() = this;
}

RunLog::~RunLog() { CurrentFailureObserver() = previous_; }

void RunLog::Write(const std::string& event) noexcept {
  if (path_.empty() || broken_) return;
  // The log's own failures are not the run's: they are caught here and never
  // reach the failure observer (which is this log).
  try {
    if (size_ < 0) {
      size_ = platform_.FileExists(path_) ? platform_.FileLength(path_) : 0;
    }
    if (size_ >= kMaxLogBytes) {
      platform_.MoveReplacing(path_, path_ + ".1");
      size_ = 0;
    }
    std::string stamp;
    try {
      stamp = platform_.LocalTime();
    } catch (const std::exception&) {
      stamp = "(no time)";
    }
    std::string line = stamp + " " + event;
    for (char& c : line) {
      if (c == '\r' || c == '\n') c = ' ';  // one event, one line
    }
    line += "\r\n";
    platform_.AppendToFile(path_, line);
    size_ += static_cast<std::int64_t>(line.size());
  } catch (...) {
    broken_ = true;
  }
}

void RunLog::Swallowed(const char* what) noexcept {
  try {
    Write(std::string("skipped after a failure: ") + what);
  } catch (...) {
  }
}

}  // namespace pellarion
