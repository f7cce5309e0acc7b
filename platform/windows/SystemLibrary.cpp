#include "platform/windows/SystemLibrary.h"

#include <string>

namespace pellarion {

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

}  // namespace

void RestrictDllSearch() {
  // kernel32 is always mapped; asking it for the function costs no load.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = kernel32 == nullptr
      ? nullptr
      : reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Without it, the empty DLL directory at least takes the current directory
  // out of the search.
  SetDllDirectoryW(L"");
}

// Before main is too late: the stack protector's start-up code asks the
// system's cryptographic provider for its canary, which loads DLLs, and
// static constructors may load more. This runs ahead of every constructor
// without a priority. (CreateSystemPlatform calls RestrictDllSearch again for
// builds without it; the call is idempotent.)
__attribute__((constructor(101))) static void RestrictDllSearchBeforeConstructors() {
  RestrictDllSearch();
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  if (name == nullptr || *name == L'\0' || wcspbrk(name, L"\\/:") != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (HMODULE module = LoadLibraryExW(name, /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return module;
  }
  // Systems without the search flags reject it as an invalid parameter; the
  // full path then names the one file, and the altered search path resolves
  // that DLL's own imports from System32 rather than from our folder.
  if (GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::wstring path(system, n);
  path += L'\\';
  path += name;
  return LoadLibraryExW(path.c_str(), /*hFile=*/nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace pellarion
