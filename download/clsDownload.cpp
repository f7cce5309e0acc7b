#include "download/clsDownload.h"

#include <exception>

#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

namespace {

// The temporary file may not be there; a download never fails for that.
void RemovePartialOf(Platform& platform, const std::string& partial) {
  try {
    platform.RemoveFile(partial);
  } catch (const PlatformError&) {
  }
}

}  // namespace

bool clsDownload::Get_File(const std::string& sURLFileName, const std::string& sSaveFileName,
                           const Acceptance& accept) {
  const std::string partial = sSaveFileName + kDownloadSuffix;
  try {
    RemovePartialOf(platform_, partial);  // left by an interrupted run
    lastStatus_ = platform_.DownloadToFile(sURLFileName, partial, limits_);
    if (accept) {
      if (const std::string refusal = accept(partial); !refusal.empty()) {
        throw PlatformError("refused: " + refusal);
      }
    }
    platform_.MoveReplacing(partial, sSaveFileName);
    return true;
  } catch (const std::exception& failure) {
    lastError_ = failure.what();
    RemovePartialOf(platform_, partial);
    return false;
  }
}

}  // namespace pellarion
