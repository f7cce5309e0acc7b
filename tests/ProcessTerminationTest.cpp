// Stopping the running application: the order of the steps on the fake, and
// real processes on Linux, of this folder and of others.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "app/ProcessTermination.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

TEST(KillRunningAppTest, AsksThisFoldersCopiesToCloseThenStopsTheRest) {
  const std::string app = "C:\\Pellarion\\Pellarion.exe";
  FakePlatform fake;
  fake.processes = {{40, app, false, /*closes=*/true}, {12, "C:\\Windows\\explorer.exe"},
                    {7, "c:\\PELLARION\\pellarion.EXE"},  {99, "D:\\Other\\Pellarion.exe", false, true},
                    {50, app, /*refuses=*/true},             {61, app, false, true}};
  // Two of four close when asked; of the other two, one refuses to stop.
  EXPECT_EQ(KillRunningApp(fake, app), 3);
  EXPECT_THAT(fake.log, ElementsAre("close 40", "close 7", "close 50", "close 61", "wait 40 7 50 61 3000",
                                    "terminate 7", "terminate 50", "wait 7 5000"));
  std::vector<std::int64_t> left;
  for (const auto& p : fake.processes) left.push_back(p.id);
  EXPECT_THAT(left, ElementsAre(12, 99, 50));

  // All close: nothing is stopped by force. None runs: nothing happens.
  FakePlatform polite;
  polite.processes = {{40, app, false, true}};
  EXPECT_EQ(KillRunningApp(polite, app), 1);
  EXPECT_THAT(polite.log, ElementsAre("close 40", "wait 40 3000"));
  FakePlatform idle;
  idle.processes = {{99, "D:\\Other\\Pellarion.exe"}};
  EXPECT_EQ(KillRunningApp(idle, app), 0);
  EXPECT_TRUE(idle.log.empty());
}

TEST(KillRunningAppTest, StopsOnlyTheRealProcessesOfItsFolder) {
  testing::TempDir dir;
  ::setenv("PELLARION_DRIVE_D", dir.path().c_str(), 1);
  const std::string app = std::string(FIXTURE_DIR) + "/linux-app-1.0.0.1";
  for (const std::string name : {"a/Pellarion.exe", "a/copy/PELLARION.EXE", "b/pellarion.exe",
                                 "a/Pellarion.exe.old"}) {
    std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
    std::filesystem::copy_file(app, dir / name);
  }
  testing::Spawned spawned;
  const int polite = spawned.Start({dir / "a/Pellarion.exe"});
  // One that ignores the request to close: it is stopped after the wait.
  const int stubborn = spawned.Start({"/bin/sh", "-c", "trap '' TERM; exec \"$0\"", dir / "a/Pellarion.exe"});
  const int others[] = {spawned.Start({dir / "a/copy/PELLARION.EXE"}), spawned.Start({dir / "b/pellarion.exe"}),
                          spawned.Start({dir / "a/Pellarion.exe.old"})};
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const auto platform = CreateSystemPlatform();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(KillRunningApp(*platform, "D:\\A\\pellarion.exe"), 2);
  const auto took = std::chrono::steady_clock::now() - before;
  ::unsetenv("PELLARION_DRIVE_D");
  // Back only once they have ended: their zombies are already there to reap.
  int status = 0;
  ASSERT_TRUE(spawned.Ended(polite, status)) << "still running";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  ASSERT_TRUE(spawned.Ended(stubborn, status)) << "still running";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_LT(took, std::chrono::milliseconds(kCloseWaitMs + 2000));
  for (const int other : others) EXPECT_FALSE(spawned.Ended(other, status)) << "another copy was stopped";
}

}  // namespace
}  // namespace pellarion
