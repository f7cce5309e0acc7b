#include "download/DownloadService.h"

#include "app/Form1.h"
#include "app/Messages.h"
#include "download/clsDownload.h"
#include "platform/ContinueOnError.h"

namespace pellarion {

namespace {

constexpr std::size_t kUserNameBuffer = 200;

std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string GetCurrentUser(Platform& platform) {
  const std::string name = platform.UserName();
  if (name.size() >= kUserNameBuffer) throw PlatformError("user name too long for the buffer");
  return name;
}

std::string CacheFolder(const std::string& userName) {
  return "C:\\Users\\" + userName + "\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE";
}

bool DownloadFile(Platform& platform, Form1& form, const std::string& url, const std::string& path,
                  const DownloadLimits& limits) {
  Try([&] { form.UserName = GetCurrentUser(platform); });
  Try([&] { platform.Pump(); });
  Try([&] { platform.DeleteFolder(CacheFolder(form.UserName)); });
  Try([&] { platform.Pump(); });
  bool fetched = false;
  Try([&] { fetched = clsDownload(platform, limits).Get_File(TrimSpaces(url), TrimSpaces(path)); });
  if (!fetched) Try([&] { form.SetStatusText(messages::kUpdateFailed); });
  Try([&] { form.ResetMousePointer(); });
  return fetched;
}

}  // namespace pellarion
