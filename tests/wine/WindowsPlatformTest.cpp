// The Windows platform's contract, run under Wine: files, version records and
// stopping real processes.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/Platform.h"
#include "platform/ProcessTermination.h"

namespace pellarion {
namespace {

namespace fs = std::filesystem;

class WindowsPlatformTest : public ::testing::Test {
 protected:
  WindowsPlatformTest() {
    bin = platform->AppDir();
    dir = bin + "\\work-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~WindowsPlatformTest() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  std::unique_ptr<Platform> platform = CreateSystemPlatform();
  std::string bin, dir;
};

TEST_F(WindowsPlatformTest, ReadsVersionRecords) {
  EXPECT_EQ(platform->GetFileVersion(bin + "\\fixture-3.1.0.12.exe"), "3.1.0.12");
  EXPECT_EQ(platform->GetFileVersion(bin + "\\fixture-1.0.0.1.exe"), "1.0.0.1");
  EXPECT_EQ(platform->GetFileVersion(bin + "\\update.exe"), "2.0.0.55");
  Write(dir + "\\page.html", "<html>404</html>");
  EXPECT_THROW(platform->GetFileVersion(dir + "\\page.html"), PlatformError);
  EXPECT_THROW(platform->GetFileVersion(dir + "\\missing.exe"), PlatformError);
}

TEST_F(WindowsPlatformTest, FileOperationsFailAsTheRunExpects) {
  Write(dir + "\\a.txt", "12345");
  EXPECT_TRUE(platform->FileExists(dir + "\\A.TXT"));
  EXPECT_FALSE(platform->FileExists(dir + "\\b.txt"));
  EXPECT_FALSE(platform->FileExists(dir));  // a folder is not a file
  EXPECT_EQ(platform->FileLength(dir + "\\a.txt"), 5);

  platform->CopyFileTo(dir + "\\a.txt", dir + "\\b.txt");
  EXPECT_THROW(platform->CopyFileTo(dir + "\\missing.txt", dir + "\\c.txt"), PlatformError);
  EXPECT_THROW(platform->RenameFile(dir + "\\a.txt", dir + "\\B.TXT"), PlatformError);
  platform->RenameFile(dir + "\\a.txt", dir + "\\c.txt");
  platform->RemoveFile(dir + "\\c.txt");
  EXPECT_THROW(platform->RemoveFile(dir + "\\c.txt"), PlatformError);
  EXPECT_THROW(platform->FileLength(dir + "\\c.txt"), PlatformError);

  auto input = platform->OpenInput(dir + "\\b.txt");
  char buffer[16];
  EXPECT_EQ(std::string(buffer, input->Read(buffer, sizeof buffer)), "12345");

  fs::create_directories(dir + "\\cache\\IE\\sub");
  Write(dir + "\\cache\\IE\\sub\\x", "x");
  platform->DeleteFolder(dir + "\\cache\\IE");
  EXPECT_FALSE(fs::exists(dir + "\\cache\\IE"));
  EXPECT_THROW(platform->DeleteFolder(dir + "\\cache\\IE"), PlatformError);
  EXPECT_FALSE(platform->UserName().empty());
}

PROCESS_INFORMATION Start(const std::string& path) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process))
      << path;
  CloseHandle(process.hThread);
  return process;
}

TEST_F(WindowsPlatformTest, KillRunningAppStopsEveryPellarionExe) {
  const std::string sleeper = bin + "\\windows_sleeper.exe";
  for (const char* name : {"\\a\\Pellarion.exe", "\\b\\PELLARION.EXE", "\\b\\c\\pellarion.exe",
                           "\\d\\Pellarion.exe.old"}) {
    fs::create_directories(fs::path(dir + name).parent_path());
    fs::copy_file(sleeper, dir + name);
  }
  std::vector<HANDLE> stopped;
  for (const char* name : {"\\a\\Pellarion.exe", "\\b\\PELLARION.EXE", "\\b\\c\\pellarion.exe"}) {
    stopped.push_back(Start(dir + name).hProcess);
  }
  const HANDLE survivor = Start(dir + "\\d\\Pellarion.exe.old").hProcess;
  EXPECT_EQ(platform->ProcessQuery("Pellarion.exe").size(), 3u);

  KillRunningApp(*platform);
  for (const HANDLE process : stopped) {
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0) << "still running";
    CloseHandle(process);
  }
  EXPECT_EQ(WaitForSingleObject(survivor, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateProcess(survivor, 0);
  WaitForSingleObject(survivor, 5000);
  CloseHandle(survivor);
}

TEST_F(WindowsPlatformTest, StartProgramRunsInTheProgramsFolder) {
  EXPECT_THROW(platform->StartProgram(dir + "\\missing.exe", WindowState::Minimised), PlatformError);
  fs::copy_file(bin + "\\windows_sleeper.exe", dir + "\\Pellarion.exe");
  platform->StartProgram(dir + "\\Pellarion.exe", WindowState::Normal);
  const auto running = platform->ProcessQuery("Pellarion.exe");
  ASSERT_EQ(running.size(), 1u);
  platform->TerminateProcessById(running[0].id);
  EXPECT_TRUE(platform->WaitForProcessesToEnd({running[0].id}, 5000));
}

}  // namespace
}  // namespace pellarion
