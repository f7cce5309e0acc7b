// System DLLs come from System32 only, whatever lies beside the program.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/windows/SystemLibrary.h"

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

TEST(SystemLibraryTest, LoadsFromSystem32AndRefusesPaths) {
  RestrictDllSearch();
  wchar_t system[MAX_PATH];
  const std::wstring system32 = Lower(std::wstring(system, GetSystemDirectoryW(system, MAX_PATH)));
  for (const wchar_t* name : {L"winhttp.dll", L"bcrypt.dll", L"version.dll"}) {
    const HMODULE module = LoadSystemLibrary(name);
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    EXPECT_EQ(Folder(module), system32);
  }
  for (const wchar_t* name : {L".\\version.dll", L"C:\\x\\version.dll", L"sub/version.dll", L""}) {
    EXPECT_EQ(LoadSystemLibrary(name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(LoadSystemLibrary(L"no-such-library.dll"), nullptr);
}

}  // namespace
}  // namespace pellarion
