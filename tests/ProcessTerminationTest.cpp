// Stopping the running application: the order of the steps on the fake, and
// real processes on Linux.
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
#include "platform/ProcessTermination.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"

extern char** environ;

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

TEST(KillRunningAppTest, StopsEveryCopyInListOrderThenWaitsForThem) {
  FakePlatform fake;
  fake.processes = {{40, "Pellarion.exe"}, {12, "explorer.exe"}, {7, "PELLARION.EXE"},
                    {99, "Pellarion.exe.bak"}, {50, "pellarion.exe", /*refuses=*/true},
                    {61, "Pellarion.exe"}};
  KillRunningApp(fake);
  // The one that refuses is not waited for; the others are, 5 s at most.
  EXPECT_THAT(fake.log, ElementsAre("terminate 40", "terminate 7", "terminate 50", "terminate 61",
                                    "wait 40 7 61 5000"));
  ASSERT_EQ(fake.processes.size(), 3u);
  EXPECT_EQ(fake.processes[0].imageName, "explorer.exe");
  EXPECT_EQ(fake.processes[1].imageName, "Pellarion.exe.bak");
  EXPECT_EQ(fake.processes[2].id, 50);

  FakePlatform idle;
  KillRunningApp(idle);
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
  pid_t Start(const std::string& program) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0) << program;
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

TEST(KillRunningAppTest, StopsRealProcessesNamedPellarionExeWhereverTheyRun) {
  testing::TempDir dir;
  const std::string app = std::string(FIXTURE_DIR) + "/linux-app-1.0.0.1";
  for (const std::string name : {"a/Pellarion.exe", "a/copy/PELLARION.EXE", "b/pellarion.exe",
                                 "c/Pellarion.exe.old"}) {
    std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
    std::filesystem::copy_file(app, dir / name);
  }
  Spawned spawned;
  const pid_t stopped[] = {spawned.Start(dir / "a/Pellarion.exe"), spawned.Start(dir / "a/copy/PELLARION.EXE"),
                           spawned.Start(dir / "b/pellarion.exe")};
  const pid_t survivor = spawned.Start(dir / "c/Pellarion.exe.old");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const auto platform = CreateSystemPlatform();
  const auto before = std::chrono::steady_clock::now();
  KillRunningApp(*platform);
  const auto took = std::chrono::steady_clock::now() - before;
  // Back only once they have ended: their zombies are already there to reap.
  for (const pid_t pid : stopped) {
    int status = 0;
    ASSERT_TRUE(spawned.Ended(pid, status)) << "still running: " << pid;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  }
  EXPECT_LT(took, std::chrono::seconds(4));
  int status = 0;
  EXPECT_FALSE(spawned.Ended(survivor, status)) << "a similar name was stopped";
  EXPECT_TRUE(testing::ApplicationProcessesIn(dir.path()).empty());
}

}  // namespace
}  // namespace pellarion
