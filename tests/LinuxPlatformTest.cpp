// The Linux platform's contract, on real files in a temporary folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "gate/Files.h"
#include "platform/Platform.h"
#include "platform/linux/PathMapping.h"
#include "tests/support/Subprocess.h"

namespace pellarion {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class LinuxPlatformTest : public ::testing::Test {
 protected:
  LinuxPlatformTest() {
    ::setenv("PELLARION_DRIVE_D", (dir / "d").c_str(), 1);
    std::filesystem::create_directories(dir / "d");
    ::unsetenv("PELLARION_DRIVE_Q");
  }
  ~LinuxPlatformTest() override { ::unsetenv("PELLARION_DRIVE_D"); }

  TempDir dir;
  std::unique_ptr<Platform> platform = CreateSystemPlatform();
};

unsigned Mode(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

TEST_F(LinuxPlatformTest, DrivesMapToTheirFoldersAndNamesMatchWithoutRegardToCase) {
  WriteFile(dir / "d/Pellarion/Pellarion.EXE", "app");
  EXPECT_EQ(MapWindowsPath("D:\\pellarion\\pellarion.exe").path, dir / "d/Pellarion/Pellarion.EXE");
  EXPECT_TRUE(platform->FileExists("D:\\Pellarion\\pellarion.exe"));
  EXPECT_TRUE(platform->FileExists("d:\\PELLARION\\Pellarion.exe"));
  EXPECT_FALSE(platform->FileExists("D:\\Pellarion\\format.dll"));
  EXPECT_FALSE(platform->FileExists("D:\\Elsewhere\\pellarion.exe"));
  // A folder is not a file.
  EXPECT_FALSE(platform->FileExists("D:\\Pellarion"));
  // A path from the root; a doubled separator is harmless.
  EXPECT_TRUE(platform->FileExists(dir / "d\\Pellarion\\\\pellarion.exe"));
  // Without its own variable a drive is /mnt/<letter>; a drive that is not
  // there makes the test fail rather than answer.
  EXPECT_EQ(MapWindowsPath("Q:\\x").path, "/mnt/q/x");
  if (!std::filesystem::exists("/mnt/q")) {
    EXPECT_THROW(platform->FileExists("Q:\\Pellarion\\pellarion.exe"), PlatformError);
  }
}

TEST_F(LinuxPlatformTest, CopyReplacesTheFileOfAnyCaseAndKeepsPermissions) {
  WriteFile(dir / "app/update.exe", "new updater", 0755);
  WriteFile(dir / "d/Pellarion/UPDATE.EXE", "old updater", 0644);
  platform->CopyFileTo(dir / "app\\update.exe", "D:\\Pellarion\\update.exe");
  EXPECT_EQ(ReadFile(dir / "d/Pellarion/UPDATE.EXE"), "new updater");
  EXPECT_EQ(Mode(dir / "d/Pellarion/UPDATE.EXE"), 0755u);
  EXPECT_FALSE(Exists(dir / "d/Pellarion/update.exe"));

  // Failures leave nothing behind.
  EXPECT_THROW(platform->CopyFileTo(dir / "app\\missing.exe", "D:\\Pellarion\\x.exe"), PlatformError);
  EXPECT_THROW(platform->CopyFileTo(dir / "app\\update.exe", "D:\\NoFolder\\update.exe"),
               PlatformError);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "d/Pellarion"),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(LinuxPlatformTest, DeleteReplaceAndLengthFailAsWindowsWould) {
  WriteFile(dir / "d/a.txt", "12345");
  WriteFile(dir / "d/B.txt", "b");
  EXPECT_EQ(platform->FileLength("D:\\A.TXT"), 5);
  EXPECT_THROW(platform->FileLength("D:\\missing.txt"), PlatformError);

  // Replacing takes the replaced file's permissions: an executable stays one.
  WriteFile(dir / "d/app.exe", "old", 0755);
  WriteFile(dir / "d/app.bin", "new", 0600);
  platform->MoveReplacing("D:\\app.bin", "D:\\APP.EXE");
  EXPECT_EQ(ReadFile(dir / "d/app.exe"), "new");
  EXPECT_EQ(Mode(dir / "d/app.exe"), 0755u);
  EXPECT_FALSE(Exists(dir / "d/app.bin"));
  EXPECT_THROW(platform->MoveReplacing("D:\\app.bin", "D:\\app.exe"), PlatformError);

  platform->RemoveFile("D:\\A.TXT");
  EXPECT_FALSE(Exists(dir / "d/a.txt"));
  EXPECT_THROW(platform->RemoveFile("D:\\a.txt"), PlatformError);

  std::filesystem::create_directories(dir / "d/cache/IE/sub");
  WriteFile(dir / "d/cache/IE/sub/x", "x");
  platform->DeleteFolder("D:\\cache\\ie");
  EXPECT_FALSE(Exists(dir / "d/cache/IE"));
  EXPECT_THROW(platform->DeleteFolder("D:\\cache\\IE"), PlatformError);

  // A download's file is never written through a link put in its place.
  WriteFile(dir / "outside.exe", "someone else's");
  std::filesystem::create_symlink(dir / "outside.exe", dir / "d/app.bin.part");
  EXPECT_THROW(platform->OpenOutput("D:\\app.bin.part", 0), PlatformError);
  EXPECT_EQ(ReadFile(dir / "outside.exe"), "someone else's");
}

TEST_F(LinuxPlatformTest, ReadsFilesVersionsAndStartsPrograms) {
  WriteFile(dir / "d/host.dll", "line one\r\nline two");
  auto input = platform->OpenInput("D:\\HOST.DLL");
  char buffer[64];
  const std::size_t n = input->Read(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), "line one\r\nline two");
  EXPECT_EQ(input->Read(buffer, sizeof buffer), 0u);
  EXPECT_THROW(platform->OpenInput("D:\\missing.dll"), PlatformError);

  std::filesystem::copy_file(std::string(FIXTURE_DIR) + "/pe-3.1.0.12.exe", dir / "d/Pellarion.exe");
  EXPECT_EQ(FileVersionOf(*platform, "D:\\pellarion.exe"), "3.1.0.12");
  EXPECT_THROW(FileVersionOf(*platform, "D:\\host.dll"), PlatformError);
  EXPECT_THROW(FileVersionOf(*platform, "D:\\missing.exe"), PlatformError);

  // The started program writes into a pipe: reading it waits for exactly
  // that, however slow the machine.
  WriteFile(dir / "d/Started.sh", "#!/bin/sh\necho started > \"$0.fifo\"\n", 0755);
  ASSERT_EQ(::mkfifo((dir / "d/Started.sh.fifo").c_str(), 0600), 0);
  const int fifo = ::open((dir / "d/Started.sh.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fifo, 0);
  platform->StartProgram("D:\\started.sh", WindowState::Minimised);
  std::string said;
  pollfd ready{fifo, POLLIN, 0};
  while (::poll(&ready, 1, 20000) > 0) {
    char piece[64];
    const ssize_t n = ::read(fifo, piece, sizeof piece);
    if (n <= 0) break;  // the writer closed: all of it is here
    said.append(piece, static_cast<std::size_t>(n));
  }
  ::close(fifo);
  EXPECT_EQ(said, "started\n");
  WriteFile(dir / "d/not-executable", "data", 0644);
  EXPECT_THROW(platform->StartProgram("D:\\not-executable", WindowState::Normal), PlatformError);
  EXPECT_THROW(platform->StartProgram("D:\\missing.exe", WindowState::Normal), PlatformError);

  EXPECT_FALSE(platform->UserName().empty());
}

}  // namespace
}  // namespace pellarion
