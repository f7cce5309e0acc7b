// The Linux update.exe updating from a share folder: real files, a real
// running application.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
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

}  // namespace
}  // namespace pellarion
