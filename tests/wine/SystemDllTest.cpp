// System DLLs come from System32 only, whatever lies beside the program.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/Platform.h"
#include "platform/windows/SystemDll.h"

namespace pellarion {
namespace {

std::wstring Lower(std::wstring text) {
  CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

std::wstring Folder(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  std::wstring text(path, n);
  return Lower(text.substr(0, text.find_last_of(L'\\')));
}

TEST(SystemDllTest, LoadsFromSystem32) {
  RestrictDllSearch();
  wchar_t system[MAX_PATH];
  const std::wstring system32 = Lower(std::wstring(system, GetSystemDirectoryW(system, MAX_PATH)));
  for (const wchar_t* name : {L"winhttp.dll", L"bcrypt.dll", L"version.dll"}) {
    const HMODULE module = LoadSystemDll(name);
    EXPECT_EQ(Folder(module), system32);
  }
  EXPECT_THROW(LoadSystemDll(L"no-such-library.dll"), PlatformError);
}

}  // namespace
}  // namespace pellarion
