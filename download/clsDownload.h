// One download: one URL into one file.
#pragma once

#include <string>

#include "platform/DownloadLimits.h"

namespace pellarion {

class Platform;

class clsDownload {
 public:
  explicit clsDownload(Platform& platform, DownloadLimits limits = {})
      : platform_(platform), limits_(limits) {}

  // Fetches sURLFileName into sSaveFileName. The body goes to a temporary
  // file beside the target and replaces the target in one step only when the
  // whole transfer succeeded; on any failure the temporary file is removed,
  // the target is left exactly as it was, and the result is false.
  bool Get_File(const std::string& sURLFileName, const std::string& sSaveFileName);

  // Why the last Get_File returned false.
  const std::string& LastError() const { return lastError_; }

 private:
  Platform& platform_;
  DownloadLimits limits_;
  std::string lastError_;
};

}  // namespace pellarion
