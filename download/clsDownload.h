// One download: one URL into one file, under the transfer's rules, with the
// retries a busy server or a cut package transfer earns within the run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "download/DownloadLimits.h"
#include "download/TransferPolicy.h"

namespace pellarion {

class Platform;

// Looks at a download that arrived whole, before it takes its target's
// place: empty when it is accepted, otherwise why not.
using Acceptance = std::function<std::string(const std::string& arrived)>;

// The rules of one transfer under `limits`.
TransferRules RulesOf(const DownloadLimits& limits);

class clsDownload {
 public:
  explicit clsDownload(Platform& platform, DownloadLimits limits = {})
      : platform_(platform), limits_(std::move(limits)) {}

  // Fetches sURLFileName into sSaveFileName. The body goes to a temporary
  // file beside the target and replaces the target in one step only when the
  // whole transfer succeeded and `accept` (when given) accepted it; on any
  // failure or refusal the target is left exactly as it was and the result
  // is false. A busy server (503, 429) is asked again up to 3 times, after
  // its Retry-After (60 s at most) or a back-off of 2 to 16 s at random. A
  // resumable download that fails after some bytes keeps them and resumes
  // up to 3 times; what it kept then stays for the next run. Nothing waits
  // past the run's deadline.
  bool Get_File(const std::string& sURLFileName, const std::string& sSaveFileName,
                const Acceptance& accept = {});

  // Why the last Get_File returned false.
  const std::string& LastError() const { return lastError_; }
  // The final HTTP status of the last transfer that got an answer.
  int LastStatus() const { return lastStatus_; }
  // What happened on the way, one entry per attempt that failed and was
  // followed by another ("HTTP status 503, the server is busy; again in 2 s. ").
  const std::string& History() const { return history_; }
  // Body bytes that came over the network in the last Get_File, every
  // attempt counted.
  std::int64_t Transferred() const { return transferred_; }
  // True when the last Get_File failed because the run's time was over.
  bool RunOver() const { return runOver_; }

 private:
  // Pauses `ms` unless that reaches past the run's deadline; false then.
  bool Wait(std::int64_t ms);
  void Discard(const std::string& partial, const std::string& record);

  Platform& platform_;
  DownloadLimits limits_;
  std::string lastError_, history_;
  int lastStatus_ = 0;
  std::int64_t transferred_ = 0;
  bool runOver_ = false;
};

}  // namespace pellarion
