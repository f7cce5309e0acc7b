// The first half of the update run, against the in-memory platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ExitCodes.h"
#include "app/Form1.h"
#include "app/UpdateRun.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/FaultInjectingPlatform.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre, ::testing::IsEmpty;
using testing::FakePlatform, testing::FaultInjectingPlatform, testing::Op;

const std::string kWaitText = "الرجاء الانتظار قليلا .. جاري التحديث";
const std::string kSearching = "يتم البحث عن تحديث متوفر.";

// Runs the start-up; returns the mode, or nothing when the run ended there
// (with its outcome in `ended`).
std::optional<Mode> StartUp(Platform& platform, Colour* colourAtEnd = nullptr, const std::string& key = "",
                            Outcome* ended = nullptr) {
  Form1 form(platform);
  UpdateRun run(platform, form, "updates.test", key);
  Mode mode = Mode::Share;
  const Ending end = run.StartUp(mode);
  if (colourAtEnd != nullptr) *colourAtEnd = form.Status().colour;
  if (end && ended != nullptr) *ended = end->outcome;
  EXPECT_EQ(end ? end->ExitCode() : 0, 0) << "placed, or another run: a normal ending";
  return end ? std::nullopt : std::optional<Mode>(mode);
}

class StartUpTest : public ::testing::Test {
 protected:
  StartUpTest() { fake.AddFile("C:\\Pellarion\\update.exe", "updater", "2.0.0.55"); }
  std::optional<Mode> StartUp() { return pellarion::StartUp(faults, &colourAtEnd); }

  FakePlatform fake;
  FaultInjectingPlatform faults{fake};
  Colour colourAtEnd = 0;
};

TEST_F(StartUpTest, InstalledFolderShowsTheWindowRegistersAndChoosesTheModeByTheMarker) {
  fake.AddFile("C:\\Pellarion\\Pellarion.exe", "app", "1.0.0.1");
  EXPECT_EQ(StartUp(), Mode::Share);
  const std::string image = "C:\\Pellarion\\update.exe";
  EXPECT_THAT(fake.log,
              ElementsAre("show #0000FF " + kWaitText,
                          "firewall current Osmerin Pellarion Updater | " + image +
                              " | ip 2 | remote * | scope 0 | enabled",
                          "firewall standard Osmerin Pellarion Updater | " + image +
                              " | ip 2 | remote * | scope 0 | enabled",
                          "status #0000FF " + kSearching));
  EXPECT_EQ(colourAtEnd, kBlue);

  // The marker's content does not matter, only its presence.
  for (const std::string content : {"", "ShareMode", "\x01\x02 binary"}) {
    fake.AddFile("C:\\Pellarion\\format.dll", content);
    fake.log.clear();
    EXPECT_EQ(StartUp(), Mode::Internet) << content;
  }
}

TEST(StartUpPlacementTest, FromElsewherePlantsCopiesOnTheDrivesThatHoldTheApplicationAndHandsOver) {
  struct Case {
    const char* name;
    bool onD, onE, dUnavailable, eUnavailable;
    std::vector<std::string> copies;
  };
  const std::string self = "C:\\Pellarion\\update.exe";
  const std::vector<Case> cases = {
      {"both drives hold it", true, true, false, false,
       {"copy " + self + " -> D:\\Pellarion\\update.exe",
        "copy " + self + " -> E:\\Pellarion\\update.exe"}},
      {"only D holds it", true, false, false, false,
       {"copy " + self + " -> D:\\Pellarion\\update.exe"}},
      {"only E holds it, D is missing", false, true, true, false,
       {"copy " + self + " -> E:\\Pellarion\\update.exe"}},
      {"neither drive exists", false, false, true, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    fake.AddFile(self, "updater", "2.0.0.55");
    if (c.onD) fake.AddFile("D:\\Pellarion\\pellarion.exe", "app", "1.0.0.1");
    if (c.onE) fake.AddFile("E:\\Pellarion\\Pellarion.exe", "app", "1.0.0.1");
    if (c.dUnavailable) fake.unavailableDrives.insert('D');
    if (c.eUnavailable) fake.unavailableDrives.insert('E');
    // Another updater running from here does not stop the placement.
    fake.previousInstance = true;

    Outcome ended = Outcome::UpToDate;
    EXPECT_EQ(pellarion::StartUp(fake, nullptr, "", &ended), std::nullopt);
    EXPECT_EQ(ended, Outcome::Placed);
    std::vector<std::string> expected = c.copies;
    // Both starts are attempted, E: first; one whose file is missing fails
    // silently.
    if (c.onE) expected.push_back("start E:\\Pellarion\\update.exe 2");
    if (c.onD) expected.push_back("start D:\\Pellarion\\update.exe 2");
    EXPECT_EQ(fake.log, expected);
    EXPECT_EQ(fake.HasFile("D:\\Pellarion\\update.exe"), c.onD);
    EXPECT_EQ(fake.HasFile("E:\\Pellarion\\update.exe"), c.onE);
  }
}

// Never a downgrade: a newer updater on a drive stays. An unkeyed updater
// starts both copies, as always; a keyed one only the copies that are
// itself, never another program under its name.
TEST(StartUpPlacementTest, NeverPlacesItselfOverANewerUpdaterAndAKeyedOneStartsOnlyItself) {
  for (const std::string key : {"", "publisher key"}) {
    SCOPED_TRACE(key);
    FakePlatform fake;
    fake.appDir = "C:\\Downloads";
    fake.AddFile("C:\\Downloads\\update.exe", "updater", "2.0.0.55");
    for (const char* drive : {"D", "E"}) fake.AddFile(std::string(drive) + ":\\Pellarion\\pellarion.exe", "app", "1.0.0.1");
    fake.AddFile("D:\\Pellarion\\update.exe", "older", "2.0.0.54");
    fake.AddFile("E:\\Pellarion\\update.exe", "newer", "2.0.0.56");
    EXPECT_EQ(StartUp(fake, nullptr, key), std::nullopt);
    EXPECT_THAT(fake.Logged("copy"), ElementsAre("copy C:\\Downloads\\update.exe -> D:\\Pellarion\\update.exe"));
    EXPECT_EQ(fake.File("E:\\Pellarion\\update.exe").contents, "newer");
    if (key.empty()) {
      EXPECT_THAT(fake.Logged("start"),
                  ElementsAre("start E:\\Pellarion\\update.exe 2", "start D:\\Pellarion\\update.exe 2"));
    } else {
      EXPECT_THAT(fake.Logged("start"), ElementsAre("start D:\\Pellarion\\update.exe 2"));
    }
  }
}

TEST_F(StartUpTest, ASecondInstanceEndsWithoutAWindow) {
  fake.AddFile("C:\\Pellarion\\pellarion.exe", "app", "1.0.0.1");
  fake.previousInstance = true;
  Outcome ended = Outcome::UpToDate;
  EXPECT_EQ(pellarion::StartUp(fake, nullptr, "", &ended), std::nullopt);
  EXPECT_EQ(ended, Outcome::AnotherRun);
  EXPECT_THAT(fake.log, IsEmpty());
}

TEST_F(StartUpTest, FailingStepsAreSkippedAndTheRunGoesOn) {
  fake.AddFile("C:\\Pellarion\\pellarion.exe", "app", "1.0.0.1");
  fake.AddFile("C:\\Pellarion\\format.dll");

  // The first firewall pass failing does not skip the second; an instance
  // test that fails counts as no other instance; a failed pump changes nothing.
  faults.Fail(Op::Firewall, "current");
  faults.Fail(Op::PreviousInstance);
  faults.Fail(Op::Pump);
  EXPECT_EQ(StartUp(), Mode::Internet);
  EXPECT_EQ(fake.Logged("firewall").size(), 1u);
  EXPECT_THAT(fake.Logged("firewall standard"), ::testing::SizeIs(1));
  EXPECT_THAT(fake.Logged("status"), ElementsAre("status #0000FF " + kSearching));

  // No firewall at all: nothing is shown of it and the run goes on.
  fake.log.clear();
  fake.firewallAvailable = false;
  EXPECT_EQ(StartUp(), Mode::Internet);
  EXPECT_THAT(fake.Logged("firewall"), IsEmpty());
  EXPECT_EQ(fake.log.back(), "status #0000FF " + kSearching);
}

TEST_F(StartUpTest, AFailedExistenceTestKeepsTheLastAnswer) {
  fake.AddFile("C:\\Pellarion\\pellarion.exe", "app", "1.0.0.1");
  // The marker test fails; the answer before it (the application exists)
  // stands, so the run takes the internet path.
  faults.Fail(Op::FileExists, "format.dll");
  EXPECT_EQ(StartUp(), Mode::Internet);
}

}  // namespace
}  // namespace pellarion
