// The Linux update.exe end to end: real folders, real processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/ExitCodes.h"
#include "gate/Files.h"
#include "platform/Platform.h"
#include "tests/support/Fixtures.h"
#include "tests/support/OwnVersion.h"
#include "tests/support/Subprocess.h"

namespace pellarion {
namespace {

using testing::Exists;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;

// ShareMode without a share: nothing new on either side, and the failure to
// reach the share the last word, in red.
const std::string kNoShare =
    "status #0000FF لا يتوفر اصدار جديد\nstatus #0000FF لا يتوفر اصدار برنامج تحديث جديد\n"
    "status #FF0000 خطأ في الاتصال، فشل عملية التحديث.\n";

// update.exe installed in `folder`.
std::string Install(const std::string& folder) {
  std::filesystem::create_directories(folder);
  const std::string exe = folder + "/update.exe";
  std::filesystem::copy_file(UPDATE_EXE, exe, std::filesystem::copy_options::overwrite_existing);
  return exe;
}

TEST(UpdateExeTest, CarriesItsVersionRecord) {
  EXPECT_EQ(FileVersionOf(*CreateSystemPlatform(), UPDATE_EXE), testing::OwnVersion());
}

TEST(UpdateExeTest, InTheApplicationFolderItShowsTheSearchingTextAndChoosesAMode) {
  TempDir dir;
  const std::string exe = Install(dir / "app");
  WriteFile(dir / "app/Pellarion.exe", "app", 0755);
  const auto share = RunProgram({exe});
  EXPECT_EQ(share.exitCode, ExitCodeOf(Outcome::CheckFailed));
  EXPECT_EQ(share.output, kShown + kSearching + kNoShare);

  // With the marker, the update server; none answers here.
  WriteFile(dir / "app/format.dll", "");
  const auto internet = RunProgram({exe}, {{"PELLARION_UPDATE_SERVER", "127.0.0.1:9"}});
  EXPECT_EQ(internet.exitCode, ExitCodeOf(Outcome::CheckFailed));
  EXPECT_EQ(internet.output, kShown + kSearching +
                                 "status #FF0000 خطأ في الاتصال، فشل عملية التحديث.\n"
                                 "status #FF0000 خطأ في الاتصال، فشل عملية التحقق من التحديث عبر الانترنت.\n");
}

TEST(UpdateExeTest, FromElsewhereItPlantsCopiesOnTheDrivesAndShowsNothing) {
  TempDir dir;
  const std::string exe = Install(dir / "downloads");
  WriteFile(dir / "d/Pellarion/pellarion.exe", "app", 0755);
  WriteFile(dir / "e/PELLARION/Pellarion.EXE", "app", 0755);
  std::filesystem::create_directories(dir / "f/Pellarion");
  const auto run = RunProgram({exe}, {{"PELLARION_DRIVE_D", dir / "d"},
                                      {"PELLARION_DRIVE_E", dir / "e"}});
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Placed));
  EXPECT_EQ(run.output, "");
  for (const std::string& copy : {dir / "d/Pellarion/update.exe", dir / "e/PELLARION/update.exe"}) {
    EXPECT_TRUE(Exists(copy)) << copy;
    EXPECT_EQ(::access(copy.c_str(), X_OK), 0) << copy;
    EXPECT_EQ(FileVersionOf(*CreateSystemPlatform(), copy), testing::OwnVersion());
  }

  // Neither drive there: nothing copied, nothing shown, a clean end.
  const auto none = RunProgram({exe}, {{"PELLARION_DRIVE_D", dir / "nod"},
                                       {"PELLARION_DRIVE_E", dir / "noe"}});
  EXPECT_EQ(none.exitCode, ExitCodeOf(Outcome::Placed));
  EXPECT_EQ(none.output, "");
}

// A keyed updater started outside an application folder starts a placed copy
// only through the file it hashed. Another process keeps putting an exact
// copy and another program (a stand-in application, which runs until
// stopped) in turn under D:\Pellarion\update.exe: over 20 starts the other
// program never runs.
TEST(UpdateExeTest, AKeyedUpdaterNeverStartsAnotherProgramSwappedInForItsCopy) {
  TempDir dir;
  const std::string exe = dir / "downloads/update.exe", placed = dir / "d/Pellarion/update.exe";
  const std::string exact = dir / "d/exact.exe", other = dir / "d/other.exe", swap = dir / "d/swap.exe";
  std::filesystem::create_directories(dir / "downloads");
  WriteFile(dir / "d/Pellarion/pellarion.exe", "app", 0755);
  std::filesystem::copy_file(SIGNED_UPDATE_EXE, exe);
  std::filesystem::copy_file(SIGNED_UPDATE_EXE, exact);
  std::filesystem::copy_file(kApp3, other);
  std::filesystem::copy_file(exact, placed);
  testing::Spawned swapper;
  swapper.Fork([&] {
    for (int turn = 0;; ++turn) {
      ::unlink(swap.c_str());
      if (::link(turn % 2 == 0 ? exact.c_str() : other.c_str(), swap.c_str()) == 0) ::rename(swap.c_str(), placed.c_str());
      ::usleep(300);
    }
    return 0;
  });
  const auto count = [&](const std::string& event) {
    const std::string log = testing::ReadFile(dir / "downloads/update.log");
    int n = 0;
    for (std::size_t at = 0; (at = log.find(event, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  for (int run = 0; run < 300 && (count("started ") < 20 || count("did not start") < 3); ++run) {
    RunProgram({exe}, {{"PELLARION_DRIVE_D", dir / "d"}, {"PELLARION_DRIVE_E", dir / "none"}});
  }
  EXPECT_GE(count("started "), 20);
  EXPECT_GE(count("did not start"), 3) << "the other program was never in place when the updater looked";
  struct stat otherFile {};
  ASSERT_EQ(::stat(other.c_str(), &otherFile), 0);
  for (const int pid : testing::ProcessesIn(dir.path())) {
    struct stat running {};
    EXPECT_FALSE(::stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &running) == 0 &&
                 running.st_ino == otherFile.st_ino && running.st_dev == otherFile.st_dev)
        << "the other program runs as process " << pid;
  }
}

// The lock is the folder's: a second run from the same folder ends at once,
// whichever of its executables started it, and only a user who may write
// the folder can take or hold it.
TEST(UpdateExeTest, ASecondRunFromTheFolderEndsWithoutOutputAndOthersCannotHoldItsLock) {
  TempDir dir;
  const std::string exe = Install(dir / "app");
  const std::string copy = dir / "app/update - Copy.exe";
  std::filesystem::copy_file(exe, copy);
  WriteFile(dir / "app/Pellarion.exe", "app", 0755);

  // Held as a running updater holds it.
  EXPECT_EQ(RunProgram({exe}).output, kShown + kSearching + kNoShare);
  const std::string lock = dir / "app/update.lock";
  const int held = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0) << "the run left no lock file";
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  for (const std::string& second : {exe, copy}) {
    const auto run = RunProgram({second});
    EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::AnotherRun)) << second;
    EXPECT_EQ(run.output, "") << second;
  }
  // A copy installed in another folder has a lock of its own.
  const std::string other = Install(dir / "other");
  WriteFile(dir / "other/pellarion.exe", "app", 0755);
  EXPECT_EQ(RunProgram({other}).output, kShown + kSearching + kNoShare);
  ::close(held);
  EXPECT_EQ(RunProgram({copy}).output, kShown + kSearching + kNoShare);

  // Another user, who can reach the folder but not write it, can neither
  // create the lock file nor lock the one there.
  if (::geteuid() != 0) GTEST_SKIP() << "only root can run a program as nobody";
  for (const std::string& folder : {dir.path(), dir / "app"}) ::chmod(folder.c_str(), 0755);
  for (const bool present : {true, false}) {
    if (!present) std::filesystem::remove(lock);
    EXPECT_NE(RunProgram({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "flock", "--nonblock",
                          lock, "true"}).exitCode, 0) << (present ? "locked by nobody" : "created by nobody");
  }
  EXPECT_EQ(RunProgram({exe}).output, kShown + kSearching + kNoShare);
  struct stat st {};
  ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace pellarion
