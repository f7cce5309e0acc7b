// One download: one URL into one file.
#pragma once

#include <functional>
#include <string>

#include "platform/DownloadLimits.h"

namespace pellarion {

class Platform;

// Looks at a download that arrived whole, before it takes its target's
// place: empty when it is accepted, otherwise why not.
using Acceptance = std::function<std::string(const std::string& arrived)>;

class clsDownload {
 public:
  explicit clsDownload(Platform& platform, DownloadLimits limits = {})
      : platform_(platform), limits_(limits) {}

  // Fetches sURLFileName into sSaveFileName. The body goes to a temporary
  // file beside the target and replaces the target in one step only when the
  // whole transfer succeeded and `accept` (when given) accepted it; on any
  // failure or refusal the temporary file is removed, the target is left
  // exactly as it was, and the result is false.
  bool Get_File(const std::string& sURLFileName, const std::string& sSaveFileName,
                const Acceptance& accept = {});

  // Why the last Get_File returned false.
  const std::string& LastError() const { return lastError_; }
  // The final HTTP status of the last transfer that got an answer.
  int LastStatus() const { return lastStatus_; }

 private:
  Platform& platform_;
  DownloadLimits limits_;
  std::string lastError_;
  int lastStatus_ = 0;
};

}  // namespace pellarion
