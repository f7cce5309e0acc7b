#include "platform/windows/SystemDll.h"

#include <string>

#include "platform/Platform.h"
#include "platform/windows/WinText.h"

namespace pellarion {

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// System32's copy of `name`, or nullptr with GetLastError() set. The search
// flag exists on Windows 8 and on a Windows 7 with KB2533623; elsewhere the
// call fails with ERROR_INVALID_PARAMETER and the full path does the same job.
HMODULE TryLoadSystemDll(const wchar_t* name) {
  if (HMODULE module = LoadLibraryExW(name, /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + name;
  return LoadLibraryExW(path.c_str(), /*hFile=*/nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Before main is too late: the stack protector's start-up code asks the
// system's cryptographic provider for its canary, which loads DLLs, and
// static constructors may load more. This runs ahead of every constructor
// without a priority.
//
// It also keeps System32's bcrypt.dll loaded for the life of the process.
// That start-up code loads and frees it; later WinHTTP's certificate code
// imports it again by name, and that search does not always honour the
// restriction (not on a Windows 7 without SetDefaultDllDirectories, not under
// Wine, where a planted bcrypt.dll was loaded that way). A module already
// loaded is found by name before any search.
__attribute__((constructor(101))) void RestrictDllSearchBeforeConstructors() {
  RestrictDllSearch();
  TryLoadSystemDll(L"bcrypt.dll");
}

}  // namespace

void RestrictDllSearch() {
  // kernel32 is always mapped; asking it for the function costs no load.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = kernel32 == nullptr
      ? nullptr
      : reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Without it, the empty DLL directory at least takes the current directory
  // out of the search.
  SetDllDirectoryW(L"");
}

HMODULE LoadSystemDll(const wchar_t* name) {
  const HMODULE module = TryLoadSystemDll(name);
  if (module == nullptr) FailWithLastError("cannot load from the system folder:", Utf8(name));
  return module;
}

FARPROC SystemDllFunction(HMODULE module, const char* name) {
  const FARPROC function = GetProcAddress(module, name);
  if (function == nullptr) FailWithLastError("the system lacks", name);
  return function;
}

}  // namespace pellarion
