#include "download/clsDownload.h"

#include <exception>

#include "platform/ContinueOnError.h"
#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

bool clsDownload::Get_File(const std::string& sURLFileName, const std::string& sSaveFileName) {
  const std::string partial = sSaveFileName + kDownloadSuffix;
  try {
    Try([&] { platform_.RemoveFile(partial); });  // left by an interrupted run
    platform_.DownloadToFile(sURLFileName, partial, limits_);
    platform_.MoveReplacing(partial, sSaveFileName);
    return true;
  } catch (const std::exception& failure) {
    lastError_ = failure.what();
    Try([&] { platform_.RemoveFile(partial); });
    return false;
  }
}

}  // namespace pellarion
