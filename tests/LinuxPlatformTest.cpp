// The Linux platform's contract, on real files in a temporary folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/ExitCodes.h"
#include "gate/Files.h"
#include "platform/Platform.h"
#include "platform/linux/PathMapping.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Subprocess.h"

namespace pellarion {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::RunProgram;
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

// The permission bits, set-id bits included.
unsigned Mode(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
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

TEST_F(LinuxPlatformTest, CopyReplacesTheFileOfAnyCaseAsAProgram) {
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

  // A download's file is never written through a link put in its place: a
  // new file replaces the link, a kept one is refused.
  WriteFile(dir / "outside.exe", "someone else's");
  std::filesystem::create_symlink(dir / "outside.exe", dir / "d/app.bin.part");
  EXPECT_THROW(platform->OpenOutput("D:\\app.bin.part", 3), PlatformError);
  platform->OpenOutput("D:\\app.bin.part", 0)->Write("new", 3);
  EXPECT_EQ(ReadFile(dir / "outside.exe"), "someone else's");
  EXPECT_EQ(ReadFile(dir / "d/app.bin.part"), "new");
}

TEST_F(LinuxPlatformTest, ReadsFilesVersionsAndStartsPrograms) {
  WriteFile(dir / "d/host.dll", "line one\r\nline two");
  auto input = platform->OpenInput("D:\\HOST.DLL");
  char buffer[64];
  const std::size_t n = input->Read(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), "line one\r\nline two");
  EXPECT_EQ(input->Read(buffer, sizeof buffer), 0u);
  EXPECT_THROW(platform->OpenInput("D:\\missing.dll"), PlatformError);
  // The file held is the file at its new name only, never one a link leads to.
  std::filesystem::rename(dir / "d/host.dll", dir / "d/moved.dll");
  WriteFile(dir / "d/host.dll", "line one\r\nline two");
  std::filesystem::create_symlink(dir / "d/moved.dll", dir / "d/link.dll");
  EXPECT_TRUE(input->IsFileAt("D:\\MOVED.DLL"));
  EXPECT_FALSE(input->IsFileAt("D:\\host.dll"));
  EXPECT_FALSE(input->IsFileAt("D:\\link.dll"));

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

// Whatever the share's modes, what the run makes of its files gets the
// updater's own, never set-id; a replaced program lends no more than it
// allowed.
TEST_F(LinuxPlatformTest, CreatedFilesGetTheUpdatersModesWhateverTheSharesAre) {
  const unsigned cases[][3] = {{0644, 0755, 0755}, {0777, 0777, 0755}, {06777, 06777, 0755}, {0644, 0750, 0750}};
  for (const auto& [share, installed, placed] : cases) {
    SCOPED_TRACE("share " + std::to_string(share) + ", installed " + std::to_string(installed) + " (decimal)");
    std::filesystem::remove_all(dir / "d");
    WriteFile(dir / "share/pellarion.exe", "app 3", share);
    WriteFile(dir / "d/Pellarion.exe", "app 1", installed);
    const std::string from = dir / "share\\pellarion.exe";
    platform->CopyFileTo(from, "D:\\NewVersion.exe");
    platform->CopyFileTo(from, "D:\\update.bin.part");
    platform->OpenOutput("D:\\Pellarion.bin.part", 0)->Write("app 3", 5);
    platform->WriteRecord("D:\\update.release", "7\r\n");
    EXPECT_EQ(Mode(dir / "d/NewVersion.exe"), 0755u);
    EXPECT_EQ(Mode(dir / "d/update.bin.part"), 0644u);
    EXPECT_EQ(Mode(dir / "d/Pellarion.bin.part"), 0600u);
    EXPECT_EQ(Mode(dir / "d/update.release"), 0644u);
    platform->MoveReplacing("D:\\NewVersion.exe", "D:\\Pellarion.exe");
    platform->MoveReplacing("D:\\update.bin.part", "D:\\update.bin");
    platform->MoveReplacing("D:\\Pellarion.bin.part", "D:\\Pellarion.bin");
    EXPECT_EQ(Mode(dir / "d/Pellarion.exe"), placed);
    EXPECT_EQ(Mode(dir / "d/update.bin"), 0755u);
    EXPECT_EQ(Mode(dir / "d/Pellarion.bin"), 0755u);
  }

  // The run itself, from a share whose programs are set-id and writable by
  // anyone.
  TempDir run;
  std::filesystem::create_directories(run / "share/Pellarion");
  std::filesystem::create_directories(run / "app");
  std::filesystem::copy_file(UPDATE_EXE, run / "app/update.exe");
  std::filesystem::copy_file(kApp1, run / "app/Pellarion.exe");
  WriteFile(run / "app/host.dll", run / "share\r\n");
  for (const char* name : {"/share/Pellarion/pellarion.exe", "/share/Pellarion/update.exe"}) {
    std::filesystem::copy_file(kApp3, run.path() + name);
    ::chmod((run.path() + name).c_str(), 06777);
  }
  EXPECT_EQ(RunProgram({run / "app/update.exe"}).exitCode, ExitCodeOf(Outcome::Updated));
  for (const int pid : testing::ProcessesIn(run.path())) ::kill(pid, SIGKILL);
  EXPECT_EQ(ReadFile(run / "app/Pellarion.exe"), ReadFile(kApp3));
  EXPECT_EQ(Mode(run / "app/Pellarion.exe"), 0755u);
  EXPECT_EQ(Mode(run / "app/update.bin"), 0755u);
}

// A FIFO, a device or a folder in a file's place is refused at once by
// every operation that opens a file (should one wait, SIGALRM ends the test).
TEST_F(LinuxPlatformTest, WhatIsNoRegularFileIsRefusedAtOnce) {
  ASSERT_EQ(::mkfifo((dir / "d/fifo.exe").c_str(), 0666), 0);
  std::filesystem::create_directories(dir / "d/folder.exe");
  ::alarm(20);
  for (const std::string path : {"D:\\fifo.exe", "/dev/null", "D:\\folder.exe"}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(platform->OpenInput(path), PlatformError);
    EXPECT_THROW(platform->OpenProgram(path), PlatformError);
    EXPECT_THROW(platform->CopyFileTo(path, "D:\\copy.exe"), PlatformError);
    EXPECT_THROW(platform->OpenOutput(path, 1), PlatformError);
    EXPECT_THROW(platform->MoveReplacing(path, "D:\\moved.exe"), PlatformError);
  }
  ::alarm(0);
  EXPECT_FALSE(Exists(dir / "d/copy.exe") || Exists(dir / "d/moved.exe"));
}

// What is hashed is what starts: a process that keeps renaming another
// program over the placed copy's name never gets it started through
// OpenProgram. (The good program ends with 0, the other with 1.)
TEST_F(LinuxPlatformTest, AProgramStartsAsItWasReadWhateverBearsItsNameMeanwhile) {
  const std::string folder = dir / "d";
  std::filesystem::copy_file("/bin/true", folder + "/good");
  std::filesystem::copy_file("/bin/false", folder + "/other");
  std::filesystem::create_hard_link(folder + "/good", folder + "/update.exe");
  const std::string good = FileSha256(*platform, folder + "/good");
  const pid_t swapper = ::fork();
  if (swapper == 0) {
    ::alarm(60);
    for (;;) {
      for (const char* from : {"/other", "/good"}) {
        ::unlink((folder + "/next").c_str());  // a rename between two names of one file keeps both
        if (::link((folder + from).c_str(), (folder + "/next").c_str()) == 0) {
          ::rename((folder + "/next").c_str(), (folder + "/update.exe").c_str());
        }
        ::usleep(100);
      }
    }
  }
  ASSERT_GT(swapper, 0);
  int started = 0, refused = 0, wrong = 0;
  while ((started < 20 || refused < 5) && started + refused < 5000) {
    const auto file = platform->OpenProgram("D:\\update.exe");
    const auto hash = platform->StartSha256();
    char buffer[1 << 16];
    for (std::size_t n; (n = file->Read(buffer, sizeof buffer)) > 0;) hash->Add(buffer, n);
    if (hash->Finish() != good) {
      ++refused;
      continue;
    }
    file->Start(WindowState::Minimised);
    int status = 0;
    while (::wait(&status) == swapper) {
    }
    wrong += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    ++started;
  }
  ::kill(swapper, SIGKILL);
  ::waitpid(swapper, nullptr, 0);
  EXPECT_GE(started, 20);
  EXPECT_GE(refused, 5) << "the swapper never swapped";
  EXPECT_EQ(wrong, 0) << "the other program was started";
}

// A record is replaced whole and never through a link: a reader sees the old
// text or the new one, never a part, and no temporary file stays.
TEST_F(LinuxPlatformTest, RecordsAreReplacedWholeAndNeverThroughALink) {
  WriteFile(dir / "outside", "someone else's");
  std::filesystem::create_symlink(dir / "outside", dir / "d/update.release");
  const std::string shorter = "7\r\n", longer(64 * 1024, '8');
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string seen = ReadFile(dir / "d/update.release");
      if (seen != shorter && seen != longer && seen != "someone else's") ++torn;
    }
  });
  for (int i = 0; i < 100; ++i) platform->WriteRecord("D:\\update.release", i % 2 == 0 ? shorter : longer);
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(ReadFile(dir / "outside"), "someone else's");
  EXPECT_EQ(ReadFile(dir / "d/update.release"), longer);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "d"), {}), 1);
}

}  // namespace
}  // namespace pellarion
