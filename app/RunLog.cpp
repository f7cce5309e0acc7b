#include "app/RunLog.h"

#include <typeinfo>

#include "versions/EscapedText.h"

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
    std::string stamp;
    try {
      stamp = platform_.LocalTime();
    } catch (const std::exception&) {
      stamp = "(no time)";
    }
    // One event, one line: line ends inside it are escaped too.
    platform_.AppendToLog(path_, stamp + " " + EscapeControls(event) + "\r\n", kMaxLogBytes);
  } catch (...) {
    broken_ = true;
  }
}

void RunLog::Swallowed(const std::exception& failure) noexcept {
  // typeid, not dynamic_cast: the exact type is enough, and the program
  // stays without the library's cast machinery.
  if (typeid(failure) == typeid(NotThereError)) return;
  try {
    Write(std::string("skipped after a failure: ") + failure.what());
  } catch (...) {
  }
}

}  // namespace pellarion
