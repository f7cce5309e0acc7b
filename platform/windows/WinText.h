// UTF-8 at the seams, UTF-16 for the W APIs, and Windows errors as
// PlatformError.
#pragma once

#include <windows.h>

#include <string>

namespace pellarion {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// The system's text for an error code (FormatMessageW), in UTF-8.
std::string ErrorText(DWORD error);
// Throws PlatformError naming the operation, the path and GetLastError():
// NotThereError for a missing file or folder, FileInUseError for a sharing
// or lock violation, and for access denied too when `deniedMeansInUse` (an
// operation on a file that is there, which another process holds open).
[[noreturn]] void FailWithLastError(const std::string& what, const std::string& path,
                                    bool deniedMeansInUse = false);

}  // namespace pellarion
