#include "app/BrowserCache.h"

#include "platform/Platform.h"

namespace pellarion {

namespace {

constexpr std::size_t kUserNameBuffer = 200;

}  // namespace

std::string GetCurrentUser(Platform& platform) {
  const std::string name = platform.UserName();
  if (name.size() >= kUserNameBuffer) throw PlatformError("user name too long for the buffer");
  return name;
}

std::string CacheFolder(const std::string& userName) {
  return "C:\\Users\\" + userName + "\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE";
}

}  // namespace pellarion
