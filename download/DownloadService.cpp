#include "download/DownloadService.h"

#include "download/clsDownload.h"
#include "platform/ContinueOnError.h"
#include "platform/Platform.h"

namespace pellarion {

namespace {

constexpr std::size_t kUserNameBuffer = 200;

}  // namespace

std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string GetCurrentUser(Platform& platform) {
  const std::string name = platform.UserName();
  if (name.size() >= kUserNameBuffer) throw PlatformError("user name too long for the buffer");
  return name;
}

std::string CacheFolder(const std::string& userName) {
  return "C:\\Users\\" + userName + "\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE";
}

DownloadOutcome DownloadFile(Platform& platform, DownloadVariables& vars, const std::string& url,
                             const std::string& path, const DownloadLimits& limits,
                             const Acceptance& accept) {
  Try([&] { vars.UserName = GetCurrentUser(platform); });
  Try([&] { platform.Pump(); });
  Try([&] { platform.DeleteFolder(CacheFolder(vars.UserName)); });
  Try([&] { platform.Pump(); });
  DownloadOutcome outcome;
  clsDownload download(platform, limits);
  outcome.fetched = download.Get_File(TrimSpaces(url), TrimSpaces(path), accept);
  outcome.status = download.LastStatus();
  if (!outcome.fetched) outcome.error = download.LastError();
  Try([&] { platform.ResetMousePointer(); });
  return outcome;
}

}  // namespace pellarion
