// The Linux update.exe updating from a share folder: real files, a real
// running application.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/ExitCodes.h"
#include "platform/Platform.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Subprocess.h"

namespace pellarion {
namespace {

using testing::ReadFile, testing::RunProgram, testing::TempDir, testing::WriteFile;
namespace fs = std::filesystem;

class ShareModeEndToEndTest : public ::testing::Test {
 protected:
  ShareModeEndToEndTest() {
    fs::create_directories(dir / "app");
    fs::copy_file(UPDATE_EXE, dir / "app/update.exe");
    fs::copy_file(kApp1, dir / "app/Pellarion.exe");
    WriteFile(dir / "app/host.dll", dir / "share\r\n");
    fs::create_directories(dir / "share/Pellarion");
  }
  TempDir dir;
  testing::Spawned processes;
};

TEST_F(ShareModeEndToEndTest, InstallsANewerApplicationStopsTheOldOneAndStagesTheUpdater) {
  fs::copy_file(kApp3, dir / "share/Pellarion/pellarion.exe");
  fs::copy_file(kApp3, dir / "share/Pellarion/update.exe");
  const int running = processes.Start({dir / "app/Pellarion.exe"});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const auto run = RunProgram({dir / "app/update.exe"});
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated));
  EXPECT_EQ(run.output,
            kShown + kSearching + "status #0000FF يتوفر اصدار جديد\n"
            "message Osmerin Pellarion Updater: تمت عملية التحديث بنجاح\n"
            "status #0000FF يتم تحميل اصدار جديد لبرنامج التحديث\n");

  int status = 0;
  ASSERT_TRUE(processes.Ended(running, status)) << "the old application still runs";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "not asked to close";
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp3));
  EXPECT_FALSE(fs::exists(dir / "app/NewVersion.exe"));
  EXPECT_EQ(ReadFile(dir / "app/update.bin"), ReadFile(kApp3));
  EXPECT_EQ(ReadFile(dir / "app/update.exe"), ReadFile(UPDATE_EXE));
  // The new application was started.
  EXPECT_EQ(testing::ProcessesIn(dir / "app").size(), 1u);
}

TEST_F(ShareModeEndToEndTest, LeavesAnUpToDateApplicationRunning) {
  fs::copy_file(kApp1, dir / "share/Pellarion/pellarion.exe");
  const int running = processes.Start({dir / "app/Pellarion.exe"});
  const auto run = RunProgram({dir / "app/update.exe"});
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::UpToDate));
  EXPECT_NE(run.output.find("status #0000FF لا يتوفر اصدار جديد\n"), std::string::npos) << run.output;
  int status = 0;
  EXPECT_FALSE(processes.Ended(running, status)) << "an up-to-date application was stopped";
  EXPECT_FALSE(fs::exists(dir / "app/update.bin"));
}

// A FIFO in the place of the share's application is refused at once, never
// waited on: the run ends on the failure within moments, and so does the
// next one (it is not held up as "another run").
TEST_F(ShareModeEndToEndTest, AFifoOnTheShareEndsTheRunAtOnce) {
  ASSERT_EQ(::mkfifo((dir / "share/Pellarion/pellarion.exe").c_str(), 0666), 0);
  for (int run = 0; run < 2; ++run) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgram({dir / "app/update.exe"}, {}, 10000).exitCode, ExitCodeOf(Outcome::CheckFailed)) << run;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << run;
  }
}

// The share's file may be anyone's to write (0777). A local user who cannot
// write the application folder waits for the gate's verdict in update.log,
// then tries to write the accepted copy while the updater waits for the
// application to close (it ignores the request, so that takes 3 s): the copy
// is the updater's alone, and what is installed is what was checked.
TEST_F(ShareModeEndToEndTest, NoOneElseCanWriteTheCheckedCopyBeforeItIsInstalled) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can run a process as nobody";
  fs::copy_file(kApp3, dir / "share/Pellarion/pellarion.exe");
  fs::permissions(dir / "share/Pellarion/pellarion.exe", fs::perms::all);
  for (const std::string& folder : {dir.path(), dir / "app", dir / "share", dir / "share/Pellarion"}) {
    ::chmod(folder.c_str(), 0755);
  }
  processes.Start({"/bin/sh", "-c", "trap '' TERM; exec \"$0\"", dir / "app/Pellarion.exe"});
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string log = dir / "app/update.log", copy = dir / "app/NewVersion.exe";
  // Ends 0 when the copy was there and could not be opened for writing, 1
  // when it wrote into it, 2 when it met no copy, 3 when it saw no verdict.
  const int writer = processes.Fork([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) return 9;
    static char text[1 << 16];
    for (int tries = 0;; ++tries) {
      if (tries == 20000) return 3;
      const int fd = ::open(log.c_str(), O_RDONLY);
      const ssize_t n = fd < 0 ? 0 : ::read(fd, text, sizeof text - 1);
      if (fd >= 0) ::close(fd);
      text[n > 0 ? n : 0] = '\0';
      if (std::strstr(text, " accepted: ") != nullptr) break;
      ::usleep(1000);
    }
    const int fd = ::open(copy.c_str(), O_WRONLY);
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t written = ::write(fd, "MZ", 2);
      return 1;
    }
    return errno == EACCES ? 0 : 2;
  });
  const auto run = RunProgram({dir / "app/update.exe"});
  EXPECT_EQ(processes.Wait(writer, 5000), 0);
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated));
  EXPECT_TRUE(ReadFile(dir / "app/Pellarion.exe") == ReadFile(kApp3));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "app/Pellarion.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

}  // namespace
}  // namespace pellarion
