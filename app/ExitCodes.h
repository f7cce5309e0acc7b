// How a run ended, as its exit code: what a scheduled task or a deployment
// tool reads to tell the runs apart. The values are documented in the README
// and never change meaning.
#pragma once

namespace pellarion {

enum class ExitCode {
  UpToDate = 0,      // nothing newer was offered; nothing changed
  Updated = 1,       // the application was installed or a newer updater staged
  CheckFailed = 2,   // the share or the update server could not be asked
  UpdateFailed = 3,  // something newer was offered but could not be installed or staged
  Refused = 4,       // a package was refused by the acceptance gate
  AnotherRun = 5,    // another updater runs from this folder; this one did nothing
  Placed = 6,        // started outside an application folder: copies placed and started
};

// When a run has several outcomes the worse one is its exit code: a failure
// outranks a success, and a refused package every other failure.
inline int Severity(ExitCode code) {
  switch (code) {
    case ExitCode::UpToDate: return 0;
    case ExitCode::Updated: return 1;
    case ExitCode::UpdateFailed: return 2;
    case ExitCode::CheckFailed: return 3;
    case ExitCode::Refused: return 4;
    case ExitCode::AnotherRun:
    case ExitCode::Placed: return 5;
  }
  return 5;
}

}  // namespace pellarion
