// The update from the host computer's share, against the in-memory platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ExitCodes.h"
#include "app/Messages.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/FaultInjectingPlatform.h"
#include "tests/support/FakeRelease.h"
#include "tests/support/FakeRun.h"

namespace pellarion {
namespace {

using ::testing::Contains, ::testing::ElementsAre, ::testing::IsEmpty, ::testing::Not;
using testing::FakePlatform, testing::FaultInjectingPlatform, testing::Op;
using testing::kApp, testing::kDir, testing::kRecordCleared;

const std::string kStaged = "C:\\Pellarion\\NewVersion.exe";
const std::string kShare = "\\\\HOST\\share\\Pellarion\\";

std::string Blue(const char* text) { return testing::Status("#0000FF", text); }
std::string Red(const char* text) { return testing::Status("#FF0000", text); }

class ShareModeTest : public ::testing::Test {
 protected:
  ShareModeTest() {
    fake.AddFile("C:\\Pellarion\\update.exe", "updater 2.0.0.55", "2.0.0.55");
    fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
    fake.AddFile("C:\\Pellarion\\host.dll", "\\\\HOST\\share\r\nignored\r\n");
    fake.processes = {{10, "C:\\Pellarion\\Pellarion.exe"}};
  }

  void Share(const std::string& app, const std::string& updater) {
    if (!app.empty()) fake.AddFile(kShare + "pellarion.exe", "app " + app, app);
    if (!updater.empty()) fake.AddFile(kShare + "update.exe", "updater " + updater, updater);
  }

  void Run() { run = testing::RunOnFake(faults, fake, "updates.test", key); }

  FakePlatform fake;
  FaultInjectingPlatform faults{fake};
  std::string key;  // the build's publisher key; none by default
  testing::FakeRunResult run;
  RunEnd& end = run.end;
  std::vector<std::string>& after = run.after;
};

TEST_F(ShareModeTest, ANewerApplicationReplacesTheRunningOneAndIsStartedAgain) {
  Share("3.1.0.12", "2.0.0.55");
  Run();
  EXPECT_THAT(after, ElementsAre(Blue(messages::kNewVersion),
                                 "copy " + kShare + "pellarion.exe -> " + kStaged,
                                 "stop", "replace " + kStaged + " -> " + kApp,
                                 "message Osmerin Pellarion Updater: تمت عملية التحديث بنجاح",
                                 "start " + kApp + " 1", kRecordCleared, Blue(messages::kNoNewUpdater)));
  EXPECT_EQ(fake.File(kApp).contents, "app 3.1.0.12");
  EXPECT_FALSE(fake.HasFile(kStaged));
  EXPECT_EQ(end.outcome, Outcome::Updated);
  EXPECT_EQ(end.ExitCode(), 0);
  EXPECT_THAT(testing::LogLines(fake, "compare"),
              ElementsAre("compare: installed 1001, offered \"31012\": newer",
                          "compare: installed 20055, offered \"20055\": not newer"));
}

TEST_F(ShareModeTest, AnEqualOrOlderApplicationIsLeftAlone) {
  for (const std::string version : {"1.0.0.1", "0.9.0.0"}) {
    fake.log.clear();
    Share(version, "2.0.0.55");
    Run();
    EXPECT_THAT(after, ElementsAre(Blue(messages::kNoNewVersion), Blue(messages::kNoNewUpdater)))
        << version;
    EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
    EXPECT_EQ(fake.processes.size(), 1u);
  }
}

TEST_F(ShareModeTest, ANewerUpdaterIsOnlyStagedAsUpdateBin) {
  Share("1.0.0.1", "3.1.0.12");
  fake.AddFile("C:\\Pellarion\\update.bin", "stale");
  Run();
  EXPECT_THAT(after, ElementsAre(Blue(messages::kNoNewVersion), Blue(messages::kLoadingUpdater),
                                 "delete C:\\Pellarion\\update.bin",
                                 "copy " + kShare + "update.exe -> C:\\Pellarion\\update.bin.part",
                                 "replace C:\\Pellarion\\update.bin.part -> C:\\Pellarion\\update.bin"));
  EXPECT_EQ(fake.File("C:\\Pellarion\\update.bin").contents, "updater 3.1.0.12");
  EXPECT_EQ(fake.File("C:\\Pellarion\\update.exe").contents, "updater 2.0.0.55");
}

TEST_F(ShareModeTest, WithoutAShareNothingIsReadFromADriveRootOrCopied) {
  // A newer application at the root of the current drive must not be taken.
  fake.AddFile("\\Pellarion\\pellarion.exe", "root app", "9.0.0.0");
  fake.AddFile("\\Pellarion\\update.exe", "root updater", "9.0.0.0");
  for (const std::string& hostDll : {std::string("missing"), std::string("\r\n\\\\HOST\\share")}) {
    SCOPED_TRACE(hostDll);
    fake.log.clear();
    if (hostDll == "missing") {
      fake.RemoveFile("C:\\Pellarion\\host.dll");
      fake.log.clear();
    } else {
      fake.AddFile("C:\\Pellarion\\host.dll", hostDll);  // the first line is empty
    }
    Run();
    // The run still checks the updater; the failure to reach the share is
    // its last word.
    EXPECT_THAT(after, ElementsAre(Blue(messages::kNoNewVersion), Blue(messages::kNoNewUpdater),
                                   Red(messages::kUpdateFailed)));
    EXPECT_THAT(testing::LogLines(fake, "compare"), ::testing::Each(::testing::HasSubstr("offered \"0\"")));
    EXPECT_EQ(end.outcome, Outcome::CheckFailed);
    fake.RemoveFile(kDir + "update.log");
  }
}

TEST_F(ShareModeTest, AHostFileSavedWithAByteOrderMarkNamesTheShare) {
  fake.AddFile("C:\\Pellarion\\host.dll", "\xEF\xBB\xBF\\\\HOST\\share\r\n");
  Share("3.1.0.12", "");
  Run();
  EXPECT_EQ(fake.File(kApp).contents, "app 3.1.0.12");
}

TEST_F(ShareModeTest, WithAPublisherKeyOnlyTheSignedReleasesFilesAreInstalledOrStaged) {
  key = "publisher key";
  const testing::FakeFile app{"app 3.1.0.12", "3.1.0.12"}, updater{"updater 3.1.0.12", "3.1.0.12"};
  const std::string release = testing::FakeSignedRelease(3, app, updater, key);
  const struct Case {
    const char* name;
    std::string description;  // none when empty
    bool swapped;
    Outcome outcome;
  } cases[] = {
      {"the signed release", release, false, Outcome::Updated},
      {"the two files swapped", release, true, Outcome::Refused},
      {"no release description", "", false, Outcome::CheckFailed},
      {"a release for servers only",
       testing::FakeSignedRelease(3, app, updater, key, {.channels = {"server"}}), false, Outcome::CheckFailed},
      {"a halted release", testing::FakeSignedRelease(3, app, updater, key, {.rollout = 0}), false,
       Outcome::UpToDate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
    fake.processes = {{10, kApp}};
    for (const std::string& file : {kDir + "update.bin", kDir + "update.release", kShare + "update.txt"}) {
      if (fake.HasFile(file)) fake.RemoveFile(file);
    }
    fake.AddFile(kShare + "pellarion.exe", (c.swapped ? updater : app).contents, "3.1.0.12");
    fake.AddFile(kShare + "update.exe", (c.swapped ? app : updater).contents, "3.1.0.12");
    if (!c.description.empty()) fake.AddFile(kShare + "update.txt", c.description);
    Run();
    const bool installed = c.outcome == Outcome::Updated;
    EXPECT_EQ(end.outcome, c.outcome);
    EXPECT_EQ(fake.File(kApp).contents, installed ? app.contents : "app 1.0.0.1");
    EXPECT_EQ(fake.HasFile("C:\\Pellarion\\update.bin"), installed);
    EXPECT_FALSE(fake.HasFile(kStaged));
    EXPECT_FALSE(fake.HasFile("C:\\Pellarion\\update.bin.part"));
    EXPECT_EQ(fake.HasFile(kDir + "update.release") ? fake.File(kDir + "update.release").contents : "",
              c.outcome == Outcome::CheckFailed ? "" : "share 3\r\n");
    if (installed) continue;
    EXPECT_EQ(fake.processes.size(), 1u);  // never stopped
    EXPECT_THAT(fake.Logged("status").back(),
                c.outcome == Outcome::UpToDate ? Blue(messages::kNoNewUpdater) : Red(messages::kUpdateFailed));
  }
}

TEST_F(ShareModeTest, AnUnreachableShareOrUnreadableVersionIsNeverComparedWithStaleDigits) {
  // The share offers a newer application but no updater: the updater's
  // comparison must not see the application's digits.
  Share("3.1.0.12", "");
  Run();
  EXPECT_THAT(after, Contains(Blue(messages::kNoNewUpdater)));
  EXPECT_FALSE(fake.HasFile("C:\\Pellarion\\update.bin"));
  EXPECT_THAT(testing::LogLines(fake, "compare").back(), ::testing::HasSubstr("offered \"0\""));

  // No share at all: nothing happens, nothing is stopped.
  fake.AddFile(kApp, "app", "1.0.0.1");
  fake.AddFile("C:\\Pellarion\\host.dll", "\\\\GONE\\share");
  fake.processes = {{10, kApp}};
  fake.log.clear();
  Run();
  EXPECT_THAT(fake.Logged("terminate"), IsEmpty());
  EXPECT_THAT(fake.Logged("copy"), IsEmpty());
  EXPECT_EQ(end.outcome, Outcome::CheckFailed);
}

TEST_F(ShareModeTest, AFailedCopyLeavesTheRunningApplicationAlone) {
  Share("3.1.0.12", "2.0.0.55");
  // A copy left by an earlier, interrupted run that cannot even be deleted.
  fake.AddFile(kStaged, "half a file", "3.1.0.12");
  faults.Fail(Op::RemoveFile, "NewVersion");
  faults.Fail(Op::CopyFile, "NewVersion");
  Run();
  EXPECT_THAT(after, ElementsAre(Blue(messages::kNewVersion), Red(messages::kUpdateFailed),
                                 Red(messages::kNoNewUpdater), Red(messages::kUpdateFailed)));
  EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
  EXPECT_EQ(fake.processes.size(), 1u);
  EXPECT_EQ(end.outcome, Outcome::UpdateFailed);
}

// A copy never fills the volume: it needs its length and the reserve free
// (64 MiB on a volume of 1 GiB).
TEST_F(ShareModeTest, ACopyThatWouldFillTheVolumeIsNotMade) {
  Share("3.1.0.12", "3.1.0.12");
  fake.volume = {.freeBytes = (64LL << 20) + 100, .totalBytes = 1LL << 30};
  Run();
  EXPECT_THAT(fake.Logged("copy"), IsEmpty());
  EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
  EXPECT_EQ(fake.processes.size(), 1u);
  EXPECT_EQ(after.back(), Red(messages::kUpdateFailed));
  EXPECT_EQ(end.ExitCode(), 3);
}

TEST_F(ShareModeTest, AFailedSwapKeepsTheOldApplicationShowsTheFailureAndRestartsIt) {
  Share("3.1.0.12", "2.0.0.55");
  faults.Fail(Op::MoveReplacing);
  Run();
  EXPECT_THAT(after, ElementsAre(Blue(messages::kNewVersion),
                                 "copy " + kShare + "pellarion.exe -> " + kStaged, "stop", Red(messages::kUpdateFailed),
                                 "delete " + kStaged, "start " + kApp + " 1", kRecordCleared,
                                 Red(messages::kNoNewUpdater), Red(messages::kUpdateFailed)));
  EXPECT_THAT(fake.log, Not(Contains(::testing::StartsWith("message"))));
  EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
  EXPECT_FALSE(fake.HasFile(kStaged));
}

}  // namespace
}  // namespace pellarion
