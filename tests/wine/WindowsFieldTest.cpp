// What the Windows program must keep in the field: the cache deletion that
// never follows a junction, the folder's instance lock, the C runtime's
// reading of numbers and the messages of the library's exceptions.
#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <vector>
#include <string>

#include "platform/Platform.h"
#include "platform/windows/WinText.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

class WindowsFieldTest : public ::testing::Test {
 protected:
  WindowsFieldTest() {
    wchar_t path[MAX_PATH];
    const std::wstring exe(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    dir = exe.substr(0, exe.find_last_of(L'\\')) + L"\\field-" +
          Wide(::testing::UnitTest::GetInstance()->current_test_info()->name());
    CreateDirectoryW(dir.c_str(), /*lpSecurityAttributes=*/nullptr);
  }
  static void Write(const std::wstring& path, const char* text) {
    std::ofstream(path.c_str(), std::ios::binary) << text;
  }
  static bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::unique_ptr<Platform> platform = CreateSystemPlatform();
  std::wstring dir;
};

bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The cache folder holds a link that leads out of it, to a folder that holds
// keep.txt. Wine cannot make a junction (it has no FSCTL_SET_REPARSE_POINT),
// so test_windows_platform.sh plants a Unix symbolic link, which Wine reports
// as a reparse point, and names the cache in PELLARION_TEST_LINKED_CACHE.
TEST_F(WindowsFieldTest, DeleteFolderRemovesTheCacheButNotWhatAJunctionPointsAt) {
  const char* planted = std::getenv("PELLARION_TEST_LINKED_CACHE");
  if (planted == nullptr) GTEST_SKIP() << "run by test_windows_platform.sh, which plants the linked cache";
  const std::wstring cache = Wide(planted);
  const std::wstring link = cache + L"\\sub\\link";
  const std::wstring kept = cache.substr(0, cache.find_last_of(L'\\')) + L"\\outside\\keep.txt";
  ASSERT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  ASSERT_TRUE(Exists(link + L"\\keep.txt")) << "the link does not lead out of the cache";
  CreateDirectoryW((cache + L"\\sub\\deep").c_str(), /*lpSecurityAttributes=*/nullptr);
  Write(cache + L"\\index.dat", "index");
  Write(cache + L"\\sub\\deep\\page[1].htm", "page");
  Write(cache + L"\\sub\\locked-down.exe", "read-only");
  SetFileAttributesW((cache + L"\\sub\\locked-down.exe").c_str(), FILE_ATTRIBUTE_READONLY);

  if (UnderWine()) {
    // Wine removes no link to a folder that holds files (error 145), so the
    // link and the folders above it stay; everything else goes.
    EXPECT_THROW(platform->DeleteFolder(Utf8(cache)), PlatformError);
    for (const wchar_t* gone : {L"\\index.dat", L"\\sub\\deep", L"\\sub\\locked-down.exe"}) {
      EXPECT_FALSE(Exists(cache + gone)) << Utf8(gone);
    }
  } else {
    platform->DeleteFolder(Utf8(cache));
    EXPECT_FALSE(Exists(cache));
  }
  EXPECT_TRUE(Exists(kept)) << "the deletion followed the link";
  EXPECT_THROW(platform->DeleteFolder(Utf8(dir + L"\\missing")), PlatformError);
  Write(dir + L"\\a-file", "x");
  EXPECT_THROW(platform->DeleteFolder(Utf8(dir + L"\\a-file")), PlatformError);
  EXPECT_TRUE(Exists(dir + L"\\a-file"));
}

// Two updaters from one folder: the second sees the first until it ends,
// and the lock file goes with its holder.
TEST_F(WindowsFieldTest, SecondInstanceFromTheSameFolderSeesTheFirst) {
  auto second = CreateSystemPlatform();
  EXPECT_FALSE(platform->PreviousInstance());
  EXPECT_FALSE(platform->PreviousInstance());  // still this run's
  EXPECT_TRUE(second->PreviousInstance());
  platform.reset();
  EXPECT_FALSE(Exists(dir.substr(0, dir.find_last_of(L'\\')) + L"\\update.lock"));
  EXPECT_FALSE(second->PreviousInstance());
}

// The C runtime of the Windows program reads the extremes as glibc does.
TEST(WindowsRuntimeTest, NumericValueAtTheLimitsOfADouble) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {{"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL}, {"1e-400", 0}, {"2e-1", 0.2},
               {"20055", 20055},    {"3.25", 3.25},       {"+7", 7}};
  for (const auto& c : cases) EXPECT_EQ(NumericValue(c.text), c.expected) << c.text;
}

// A failure's message, empty or long, survives copies, assignment and a
// rethrow, and every copy is freed exactly once (a double free would corrupt
// the heap within these rounds); the library's own throws, which the program
// defines (LibraryThrows.cpp), arrive as a std::exception with its text.
TEST(WindowsRuntimeTest, ExceptionMessagesSurviveCopiesAndRethrows) {
  const std::string messages[] = {"", "x", "download failed: " + std::string(500, 'p')};
  for (int round = 0; round < 200; ++round) {
    for (const std::string& message : messages) {
      const PlatformError original(message);
      PlatformError assigned("to be replaced");
      {
        const PlatformError copy(original);
        assigned = copy;
      }
      std::exception_ptr caught;
      try {
        throw PlatformError(message);
      } catch (...) {
        caught = std::current_exception();
      }
      std::string rethrown;
      try {
        std::rethrow_exception(caught);
      } catch (const std::exception& e) {
        rethrown = e.what();
      }
      ASSERT_EQ(original.what(), message);
      ASSERT_EQ(assigned.what(), message);
      ASSERT_EQ(rethrown, message);
    }
  }
  std::string text;
  try {
    text.reserve(text.max_size() + 1);
    ADD_FAILURE() << "no failure";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "basic_string::_M_create");
  }
  std::vector<int> numbers;
  EXPECT_THROW(numbers.at(3), std::exception);
}

}  // namespace
}  // namespace pellarion
