// update.log beside the updater: one line per event of every run, each
// starting with the local date and time and its offset, so an administrator
// can tell afterwards what a run did and why. Plain UTF-8 text. It moves to
// update.log.1 (replacing the older one) once it passes kMaxLogBytes.
//
// Writing the log never fails a run: a log that cannot be written is given
// up for the rest of the run, silently. While it exists it hears of every
// failure the continue-on-error rule swallows.
#pragma once

#include <cstdint>
#include <string>

#include "app/ContinueOnError.h"
#include "platform/Platform.h"

namespace pellarion {

inline constexpr std::int64_t kMaxLogBytes = 256 * 1024;

class RunLog : public FailureObserver {
 public:
  explicit RunLog(Platform& platform);
  ~RunLog() override;
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Writes to the log at `path` from now on; before, nothing is written.
  void Open(std::string path) { path_ = std::move(path); }
  // One line: the time, then `event`.
  void Write(const std::string& event) noexcept;
  void Swallowed(const char* what) noexcept override;

 private:
  Platform& platform_;
  std::string path_;
  std::int64_t size_ = -1;  // bytes in the file; -1 until known
  bool broken_ = false;
  FailureObserver* previous_;
};

}  // namespace pellarion
