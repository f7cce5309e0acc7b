// The update run's continue-on-error rule, in one place.
//
// Each statement of the run is wrapped in Try. When an operation inside it
// fails, the rest of that statement is abandoned (an assignment does not take
// place, so its target keeps its previous value) and the run goes on with the
// next statement. Try says whether the statement completed, so a step that
// depends on an earlier one asks it instead of keeping a flag. The user never
// sees a failure as such: the run decides what to show by looking at files
// afterwards. A failure observer, when one is set, hears of every failure
// swallowed (the run's record writes them down).
//
// Only std::exception is swallowed.
#pragma once

#include <exception>
#include <utility>

namespace pellarion {

// Hears of the failures Try swallows. It must not throw.
class FailureObserver {
 public:
  virtual ~FailureObserver() = default;
  virtual void Swallowed(const std::exception& failure) noexcept = 0;
};

// The observer of this process's run, or none.
inline FailureObserver*& CurrentFailureObserver() {
  static FailureObserver* observer = nullptr;
  return observer;
}

template <typename Statement>
bool Try(Statement&& statement) {
  try {
    std::forward<Statement>(statement)();
    return true;
  } catch (const std::exception& failure) {
    if (FailureObserver* observer = CurrentFailureObserver()) observer->Swallowed(failure);
    return false;
  }
}

}  // namespace pellarion
