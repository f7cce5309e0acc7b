// The Linux update.exe updating from a share folder: real files, a real
// running application.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/ExitCodes.h"
#include "platform/Platform.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Subprocess.h"

extern char** environ;

namespace pellarion {
namespace {

using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

pid_t Spawn(const std::string& program) {
  pid_t pid = 0;
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
  return pid;
}

class ShareModeEndToEndTest : public ::testing::Test {
 protected:
  ShareModeEndToEndTest() {
    fs::create_directories(dir / "app");
    fs::copy_file(UPDATE_EXE, dir / "app/update.exe");
    fs::copy_file(kApp1, dir / "app/Pellarion.exe");
    WriteFile(dir / "app/host.dll", dir / "share\r\n");
    fs::create_directories(dir / "share/Pellarion");
  }
  ~ShareModeEndToEndTest() override {
    // Whatever the updater started from this folder.
    for (const int pid : testing::ApplicationProcessesIn(dir.path())) ::kill(pid, SIGKILL);
  }
  TempDir dir;
};

TEST_F(ShareModeEndToEndTest, InstallsANewerApplicationStopsTheOldOneAndStagesTheUpdater) {
  fs::copy_file(kApp3, dir / "share/Pellarion/pellarion.exe");
  fs::copy_file(kApp3, dir / "share/Pellarion/update.exe");
  const pid_t running = Spawn(dir / "app/Pellarion.exe");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const auto run = RunProgram({dir / "app/update.exe"});
  EXPECT_EQ(run.exitCode, static_cast<int>(ExitCode::Updated));
  EXPECT_EQ(run.output,
            "status #0000FF الرجاء الانتظار قليلا .. جاري التحديث\n"
            "status #0000FF يتم البحث عن تحديث متوفر.\n"
            "status #0000FF يتوفر اصدار جديد\n"
            "message Osmerin Pellarion Updater: تمت عملية التحديث بنجاح\n"
            "status #0000FF يتم تحميل اصدار جديد لبرنامج التحديث\n");

  int status = 0;
  ASSERT_EQ(::waitpid(running, &status, WNOHANG), running) << "the old application still runs";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "not asked to close";
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp3));
  EXPECT_FALSE(fs::exists(dir / "app/NewVersion.exe"));
  EXPECT_EQ(ReadFile(dir / "app/update.bin"), ReadFile(kApp3));
  EXPECT_EQ(ReadFile(dir / "app/update.exe"), ReadFile(UPDATE_EXE));
  // The new application was started.
  EXPECT_EQ(testing::ApplicationProcessesIn(dir / "app").size(), 1u);
}

TEST_F(ShareModeEndToEndTest, LeavesAnUpToDateApplicationRunning) {
  fs::copy_file(kApp1, dir / "share/Pellarion/pellarion.exe");
  const pid_t running = Spawn(dir / "app/Pellarion.exe");
  const auto run = RunProgram({dir / "app/update.exe"});
  EXPECT_EQ(run.exitCode, static_cast<int>(ExitCode::UpToDate));
  EXPECT_NE(run.output.find("status #0000FF لا يتوفر اصدار جديد\n"), std::string::npos) << run.output;
  int status = 0;
  EXPECT_EQ(::waitpid(running, &status, WNOHANG), 0) << "an up-to-date application was stopped";
  ::kill(running, SIGKILL);
  ::waitpid(running, &status, 0);
  EXPECT_FALSE(fs::exists(dir / "app/update.bin"));
}

}  // namespace
}  // namespace pellarion
