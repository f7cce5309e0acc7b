#include "platform/windows/WinText.h"

#include "platform/Platform.h"
#include "platform/Joined.h"

namespace pellarion {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      /*lpSource=*/nullptr, error, /*dwLanguageId=*/0, reinterpret_cast<wchar_t*>(&buffer),
      /*nSize=*/0, /*Arguments=*/nullptr);
  std::wstring text = n > 0 && buffer != nullptr ? std::wstring(buffer, n) : L"";
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return Joined({"error ", std::to_string(error), text.empty() ? "" : ": ", Utf8(text)});
}

void FailWithLastError(const std::string& what, const std::string& path, bool deniedMeansInUse) {
  const DWORD error = GetLastError();
  const std::string message = Joined({what, " ", path, ": ", ErrorText(error)});
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) throw NotThereError(message);
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
      (error == ERROR_ACCESS_DENIED && deniedMeansInUse)) {
    throw FileInUseError(message);
  }
  throw PlatformError(message);
}

}  // namespace pellarion
