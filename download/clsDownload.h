// One download: one URL into one file, under the transfer's rules, with the
// retries a busy server or a cut package transfer earns within the run. The
// download owns the temporary files beside its target (the body on its way,
// and what resuming it needs), tells its caller how it ended and describes
// itself for the log. The transport is the platform's: the run calls
// Get_File, Get_File calls Attempt, Attempt calls Platform::Transfer.
#pragma once

#include <cstdint>
#include <string>

#include "download/DownloadLimits.h"
#include "download/ResumeRecord.h"
#include "download/TransferPolicy.h"
#include "platform/FunctionRef.h"

namespace pellarion {

class Platform;
class FileSink;

// Looks at a download that arrived whole, before it takes its target's
// place: empty when it is accepted, otherwise why not.
using Acceptance = FunctionRef<std::string(const std::string& arrived)>;

// The rules of one transfer under `limits`.
TransferRules RulesOf(const DownloadLimits& limits);

// The pause before the try `tries` (0, 1, 2) after a failure shared by many:
// 2, 4 or 8 s plus up to as much again, the part that `jitter` (the run's
// random number) picks, so that a fleet turned away together does not come
// back together.
std::int64_t BackoffMs(std::uint32_t jitter, int tries);

// How a download ended.
struct DownloadOutcome {
  bool fetched = false;
  int status = 0;     // the final HTTP status, once the server answered
  std::string error;  // why not, when not fetched
  // Attempts that failed and were followed by another ("HTTP status 503,
  // the server is busy; again in 2 s. ").
  std::string history;
  int untold = 0;  // attempts followed by another that the history no longer tells
  // Body bytes that came over the network, every attempt counted.
  std::int64_t transferred = 0;
  // The run's time was over: the download did not start, or was ended.
  bool runOver = false;
  std::int64_t elapsedMs = 0;  // from the first request to the end
};

class clsDownload {
 public:
  // A download of `sURLFileName` into `sSaveFileName`, both taken without
  // their surrounding spaces.
  clsDownload(Platform& platform, const std::string& sURLFileName, const std::string& sSaveFileName,
              DownloadLimits limits = {});

  // Fetches the URL into the target. The body goes to a temporary file
  // beside the target and replaces the target in one step only when the
  // whole transfer succeeded and `accept` (when given) accepted it; on any
  // failure or refusal the target is left exactly as it was and the result
  // is false. A busy server (503, 429) is asked again up to 3 times (with
  // `waitsOutBusy`, as long as it sends a Retry-After), after its
  // Retry-After (1 to 60 s) plus up to half as much, or after a back-off of
  // 2 to 16 s (BackoffMs). A resumable download that fails after some bytes
  // keeps them and resumes up to 3 times; what it kept then stays for the
  // next run. Nothing waits past the run's deadline.
  bool Get_File(const Acceptance& accept = {});

  const DownloadOutcome& Outcome() const { return outcome_; }
  // The last Get_File for the log, on one line: "download URL: HTTP 200, 57
  // bytes in 0.06 s, saved as PATH", or "download URL failed after 0.01 s:
  // why", followed by the attempts before the last one. Paths as the system
  // names them.
  std::string Description() const;

  // Whether `fileName`, a file beside `target`, is what a cut transfer into
  // `target`, or into the delta that makes it (<target>.delta), keeps to be
  // resumed (its body so far, or the record that still matches it). Every
  // other temporary file of a download is its caller's to remove.
  static bool KeepsToResume(Platform& platform, const std::string& target, const std::string& fileName);

 private:
  // One request and its answer into the .part file. Returns kWhole when the
  // body arrived whole, else how long to wait before the next attempt, or
  // -1 to give up.
  std::int64_t Attempt();
  // After a failed attempt whose answer reached the file: keeps what the
  // file holds, with its record, when the transfer can go on from there.
  void KeepOrDiscard(TransferFault fault, std::int64_t held, const TransferPolicy& policy);
  // When the next attempt after `fault` may start; -1: none.
  std::int64_t NextWait(TransferFault fault, std::int64_t retryAfterSeconds, bool resumed, std::int64_t received);
  // Pauses `ms` unless that reaches past the run's deadline; false then.
  bool Wait(std::int64_t ms);
  // Puts the whole body in the target's place once `accept` accepted it.
  bool Take(const Acceptance& accept);
  void Discard();

  static constexpr std::int64_t kWhole = -2;

  Platform& platform_;
  std::string url_, target_, partial_, record_;
  DownloadLimits limits_;
  DownloadOutcome outcome_;
  ResumeRecord kept_;
  bool resuming_ = false;
  int busyTries_ = 0, resumeTries_ = 0;
  bool fetchedWholeAgain_ = false;
};

}  // namespace pellarion
