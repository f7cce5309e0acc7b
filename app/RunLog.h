// update.log beside the updater: one line per event of every run, each
// starting with the local date and time and its offset, so an administrator
// can tell afterwards what a run did and why. Plain UTF-8 text; control
// characters in what came from outside (a server, a manifest, a file, the
// system's messages) are written as escapes, so no line can forge another or
// command a terminal. It moves to update.log.1 (replacing the older one)
// once it passes kMaxLogBytes. The platform opens and moves it without
// following a link.
//
// Writing the log never fails a run: a log that cannot be written is given
// up for the rest of the run, silently. While it exists it hears of every
// failure the continue-on-error rule swallows, and writes each one except
// what was simply not there (deleting a file that is missing, a missing
// cache folder): that is expected, not a failure.
#pragma once

#include <cstdint>
#include <string>

#include "gate/ContinueOnError.h"
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
  void Swallowed(const std::exception& failure) noexcept override;

 private:
  Platform& platform_;
  std::string path_;
  bool broken_ = false;
  FailureObserver* previous_;
};

}  // namespace pellarion
