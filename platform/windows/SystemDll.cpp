#include "platform/windows/SystemDll.h"

#include <string>

#include "platform/Platform.h"
#include "platform/windows/WinText.h"

namespace pellarion {

HMODULE LoadSystemDll(const wchar_t* name) {
  // The search flag exists on Windows 8 and on a Windows 7 with KB2533623;
  // elsewhere the call fails with ERROR_INVALID_PARAMETER and the full path
  // does the same job.
  HMODULE module = LoadLibraryExW(name, /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) return module;
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) FailWithLastError("cannot find the system folder for", Utf8(name));
  const std::wstring path = std::wstring(folder, length) + L"\\" + name;
  module = LoadLibraryExW(path.c_str(), /*hFile=*/nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) FailWithLastError("cannot load", Utf8(path));
  return module;
}

FARPROC SystemDllFunction(HMODULE module, const char* name) {
  const FARPROC function = GetProcAddress(module, name);
  if (function == nullptr) FailWithLastError("the system lacks", name);
  return function;
}

}  // namespace pellarion
