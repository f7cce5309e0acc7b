// The Windows platform's contract, run under Wine: files, version records and
// stopping real processes.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/Files.h"
#include "app/Form1.h"
#include "app/Messages.h"
#include "download/DownloadService.h"
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
  EXPECT_EQ(FileVersionOf(*platform, bin + "\\fixture-3.1.0.12.exe"), "3.1.0.12");
  EXPECT_EQ(FileVersionOf(*platform, bin + "\\fixture-1.0.0.1.exe"), "1.0.0.1");
  EXPECT_EQ(FileVersionOf(*platform, bin + "\\update.exe"), "2.0.0.55");
  Write(dir + "\\page.html", "<html>404</html>");
  EXPECT_THROW(FileVersionOf(*platform, dir + "\\page.html"), PlatformError);
  EXPECT_THROW(FileVersionOf(*platform, dir + "\\missing.exe"), PlatformError);
}

TEST_F(WindowsPlatformTest, FileOperationsFailAsTheRunExpects) {
  Write(dir + "\\a.txt", "12345");
  EXPECT_TRUE(platform->FileExists(dir + "\\A.TXT"));
  EXPECT_FALSE(platform->FileExists(dir + "\\b.txt"));
  EXPECT_FALSE(platform->FileExists(dir));  // a folder is not a file
  EXPECT_EQ(platform->FileLength(dir + "\\a.txt"), 5);

  platform->CopyFileTo(dir + "\\a.txt", dir + "\\b.txt");
  EXPECT_THROW(platform->CopyFileTo(dir + "\\missing.txt", dir + "\\c.txt"), PlatformError);
  platform->MoveReplacing(dir + "\\a.txt", dir + "\\c.txt");
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

namespace pellarion {
namespace {

// The same download cases as on Linux, through WinHTTP, against the tests'
// server running beside Wine (its address in PELLARION_TEST_SERVER).
class WindowsDownloadTest : public WindowsPlatformTest {
 protected:
  std::string Url(const std::string& path) {
    const char* server = std::getenv("PELLARION_TEST_SERVER");
    return std::string("http://") + (server != nullptr ? server : "127.0.0.1:9") + path;
  }
  bool Download(const std::string& url) {
    DownloadVariables vars;
    return !DownloadFile(*platform, vars, url, target, {.connectSeconds = 2, .stallSeconds = 2}).fetched;
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string target = dir + "\\Pellarion.bin";
};

TEST_F(WindowsDownloadTest, OnlyAWholeSuccessfulBodyReplacesTheTarget) {
  ASSERT_NE(std::getenv("PELLARION_TEST_SERVER"), nullptr);
  struct Case {
    std::string name, url;
    bool ok;
    std::string body;
  } cases[] = {
      {"200", Url("/ok"), true, "hello, updater"},
      {"redirects", Url("/redirect/3"), true, "hello, updater"},
      {"surrounding spaces", "  " + Url("/ok") + "  ", true, "hello, updater"},
      {"404 with an HTML page", Url("/status/404"), false, ""},
      {"500 with an HTML page", Url("/status/500"), false, ""},
      {"body shorter than its Content-Length", Url("/truncated"), false, ""},
      {"refused connection", "http://127.0.0.1:9/ok", false, ""},
      {"stall after the headers", Url("/stall"), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(target, "the installed package");
    EXPECT_EQ(Download(c.url), !c.ok);
    EXPECT_EQ(Read(target), c.ok ? c.body : "the installed package");
    EXPECT_FALSE(fs::exists(target + ".part"));
  }
}

}  // namespace
}  // namespace pellarion
