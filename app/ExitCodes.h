// How a run ended, and the exit code a scheduled task or a deployment tool
// reads: 0 for every normal ending, as those tools count anything else as a
// failed install; a code of its own for each failure. The failure codes are
// documented in the README and never change meaning.
#pragma once

namespace pellarion {

// In order of weight: when a run has several outcomes (the application
// installed, then the new updater refused) the heavier one stands.
enum class Outcome {
  UpToDate,      // nothing newer was offered; nothing changed
  Updated,       // the application was installed or a newer updater staged
  AnotherRun,    // another updater runs from this folder; this one did nothing
  Placed,        // started outside an application folder: copies placed and started
  UpdateFailed,  // something newer was offered but could not be installed or staged
  OutOfTime,     // the run's time was over: it ended before it changed anything more
  CheckFailed,   // the share or the update server could not be asked
  Refused,       // a package was refused by the acceptance gate
};

inline Outcome Worse(Outcome a, Outcome b) { return a < b ? b : a; }
inline bool IsFailure(Outcome outcome) { return outcome >= Outcome::UpdateFailed; }

inline int ExitCodeOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::CheckFailed: return 2;
    case Outcome::UpdateFailed:
    case Outcome::OutOfTime: return 3;
    case Outcome::Refused: return 4;
    default: return 0;
  }
}

// The outcome in words, for the log. (Texts in place, not pointers: the
// Windows program keeps no relocation for each.)
inline const char* Describe(Outcome outcome) {
  static constexpr char kWords[][21] = {"up to date",    "updated",
                                        "another updater runs", "placed",
                                        "update failed", "update failed",
                                        "check failed",  "refused"};
  return kWords[static_cast<int>(outcome)];
}

// How the run ends: its outcome, and whether the window then stays open
// until the user closes it.
struct RunEnd {
  Outcome outcome = Outcome::UpToDate;
  bool windowStaysOpen = false;

  int ExitCode() const { return ExitCodeOf(outcome); }
};

}  // namespace pellarion
