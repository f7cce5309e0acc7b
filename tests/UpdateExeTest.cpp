// The Linux update.exe end to end: real folders, real processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>

#include "app/ExitCodes.h"
#include "gate/Files.h"
#include "platform/Platform.h"
#include "platform/linux/InstanceLock.h"
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

TEST(UpdateExeTest, ASecondInstanceEndsWithoutOutput) {
  TempDir dir;
  const std::string exe = Install(dir / "app");
  WriteFile(dir / "app/Pellarion.exe", "app", 0755);

  // Hold the lock a running updater at this path holds.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = InstanceLockName(std::filesystem::canonical(exe).string());
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);
  const auto second = RunProgram({exe});
  EXPECT_EQ(second.exitCode, ExitCodeOf(Outcome::AnotherRun));
  EXPECT_EQ(second.output, "");

  // A copy installed in another folder is another instance.
  const std::string other = Install(dir / "other");
  WriteFile(dir / "other/pellarion.exe", "app", 0755);
  EXPECT_EQ(RunProgram({other}).output, kShown + kSearching + kNoShare);

  ::close(fd);
  EXPECT_EQ(RunProgram({exe}).output, kShown + kSearching + kNoShare);
}

}  // namespace
}  // namespace pellarion
