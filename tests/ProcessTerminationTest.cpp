// Stopping the running application: the order of the steps on the fake, and
// real processes on Linux, of this folder and of others.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "app/ProcessTermination.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"

extern char** environ;

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

// Processes a test started, stopped and reaped when the test ends, whatever
// the test's assertions did.
class Spawned {
 public:
  Spawned() = default;
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;
  ~Spawned() {
    for (const pid_t pid : pids_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  pid_t Start(const std::vector<std::string>& args) {
    pid_t pid = 0;
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0) << args[0];
    if (pid > 0) pids_.push_back(pid);
    return pid;
  }
  // Reaps `pid` if it has ended; true then, with its wait status.
  bool Ended(pid_t pid, int& status) {
    if (::waitpid(pid, &status, WNOHANG) != pid) return false;
    pids_.erase(std::find(pids_.begin(), pids_.end(), pid));
    return true;
  }

 private:
  std::vector<pid_t> pids_;
};

TEST(KillRunningAppTest, StopsOnlyTheRealProcessesOfItsFolder) {
  testing::TempDir dir;
  ::setenv("PELLARION_DRIVE_D", dir.path().c_str(), 1);
  const std::string app = std::string(FIXTURE_DIR) + "/linux-app-1.0.0.1";
  for (const std::string name : {"a/Pellarion.exe", "a/copy/PELLARION.EXE", "b/pellarion.exe",
                                 "a/Pellarion.exe.old"}) {
    std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
    std::filesystem::copy_file(app, dir / name);
  }
  Spawned spawned;
  const pid_t polite = spawned.Start({dir / "a/Pellarion.exe"});
  // One that ignores the request to close: it is stopped after the wait.
  const pid_t stubborn = spawned.Start({"/bin/sh", "-c", "trap '' TERM; exec \"$0\"", dir / "a/Pellarion.exe"});
  const pid_t others[] = {spawned.Start({dir / "a/copy/PELLARION.EXE"}), spawned.Start({dir / "b/pellarion.exe"}),
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
  for (const pid_t other : others) EXPECT_FALSE(spawned.Ended(other, status)) << "another copy was stopped";
}

}  // namespace
}  // namespace pellarion
