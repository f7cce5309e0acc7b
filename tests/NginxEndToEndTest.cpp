// The Linux update.exe against Debian's nginx serving a tree that
// `pellarion-publish stage` made, as a publisher runs it: a plain update, a
// package resumed after its connection was cut, a package replaced between
// two runs, an update by delta, a list of servers of which only the last
// serves, and a fleet of updaters behind a connection limit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app/ExitCodes.h"
#include "tests/support/Fixtures.h"
#include "tests/support/CuttingRelay.h"
#include "tests/support/Nginx.h"
#include "tests/support/StandInImage.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"
#include "tests/support/TwoBuilds.h"

namespace pellarion {
namespace {

using ::testing::HasSubstr, ::testing::MatchesRegex;
using testing::CuttingRelay, testing::Nginx, testing::ReadFile, testing::RunProgram, testing::TempDir;
using testing::TestHttpServer, testing::WriteFile;
namespace fs = std::filesystem;

const int kUpdated = ExitCodeOf(Outcome::Updated);

// How many lines of the access log hold all of `parts`.
int Lines(const std::string& log, std::initializer_list<const char*> parts) {
  int n = 0;
  for (std::size_t at = 0, end; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    bool all = true;
    for (const char* part : parts) all = all && line.find(part) != std::string::npos;
    n += all ? 1 : 0;
  }
  return n;
}

class NginxEndToEndTest : public ::testing::Test {
 protected:
  // Stages the release (with `app` as the application) into the server's
  // tree as a publisher does, signed unless `keyed` is false.
  // `options` go to stage as they are.
  void Stage(const std::string& app, bool keyed = true, const std::vector<std::string>& options = {}) {
    WriteFile(dir / "release/Pellarion.exe", app, 0755);
    std::vector<std::string> command = {PUBLISH_EXE, "stage", "--app", dir / "release/Pellarion.exe", "--updater",
                                        keyed ? SIGNED_UPDATE_EXE : UPDATE_EXE, dir / "www"};
    if (keyed) command.insert(command.end() - 1, {"--key", SIGNING_KEY});
    command.insert(command.end() - 1, options.begin(), options.end());
    const auto staged = RunProgram(command, {}, 60000);
    ASSERT_EQ(staged.exitCode, 0) << staged.output;
  }
  // A workstation with the application 1.0.0.1 and the updater, keyed
  // unless `keyed` is false.
  std::string Workstation(const std::string& name, bool keyed = true) {
    const std::string folder = dir / name;
    fs::create_directories(folder);
    fs::copy_file(keyed ? SIGNED_UPDATE_EXE : UPDATE_EXE, folder + "/update.exe");
    fs::copy_file(kApp1, folder + "/Pellarion.exe");
    WriteFile(folder + "/format.dll", "");
    return folder;
  }
  testing::RunResult Run(const std::string& folder, int port) {
    return Run(folder, "127.0.0.1:" + std::to_string(port));
  }
  testing::RunResult Run(const std::string& folder, const std::string& servers) {
    return RunProgram({folder + "/update.exe"}, {{"PELLARION_UPDATE_SERVER", servers}}, 120000);
  }

  TempDir dir;
};

TEST_F(NginxEndToEndTest, APlainUpdateNamesTheFleetInItsUserAgent) {
  const std::string app = LargeApplication(300000, 1);
  Stage(app);
  Nginx nginx(dir / "www", dir / "nginx");
  const std::string station = Workstation("station");
  const auto run = Run(station, nginx.port());
  EXPECT_EQ(run.exitCode, kUpdated) << ReadFile(station + "/update.log");
  EXPECT_TRUE(ReadFile(station + "/Pellarion.exe") == app);
  const std::string log = nginx.AccessLog();
  EXPECT_EQ(Lines(log, {"200 ", "GET /update/Pellarion.bin HTTP"}), 1) << log;
  // Every request names the updater, the installed application, the
  // system and the machine.
  EXPECT_THAT(log, MatchesRegex("(200 [0-9]+ \"GET /update/[^\"]+\" \"OsmerinPellarionUpdater/2\\.0\\.0\\.55 "
                                "\\(Pellarion 1\\.0\\.0\\.1; Linux [0-9.]+; [a-z0-9_]+\\)\" \"-\"\n)+"));
}

TEST_F(NginxEndToEndTest, APackageCutMidwayResumesWhereItStopped) {
  const std::string app = LargeApplication(1500000, 2);
  Stage(app);
  Nginx nginx(dir / "www", dir / "nginx");
  // The first connection that carries 700 KB is cut.
  CuttingRelay relay(nginx.port(), {.cutAfter = 700000, .cuts = 1});
  const std::string station = Workstation("station");
  const auto run = Run(station, relay.port());
  EXPECT_EQ(run.exitCode, kUpdated) << ReadFile(station + "/update.log");
  EXPECT_TRUE(ReadFile(station + "/Pellarion.exe") == app);
  EXPECT_FALSE(fs::exists(station + "/Pellarion.bin.part"));
  EXPECT_FALSE(fs::exists(station + "/Pellarion.bin.resume"));
  // The second request asked for the rest, and got only that.
  const std::string log = nginx.AccessLog();
  EXPECT_EQ(Lines(log, {"206 ", "GET /update/Pellarion.bin", "\"bytes="}), 1) << log;
  EXPECT_LT(relay.BytesRelayed(), static_cast<std::int64_t>(app.size() + 200000));
}

// Without a key the server's validator alone tells the versions apart (a
// keyed updater also knows the signed length and digest of each package).
TEST_F(NginxEndToEndTest, APackageReplacedBetweenTwoRunsIsNeverJoinedToTheOldOne) {
  const std::string first = LargeApplication(1500000, 3), second = LargeApplication(1400000, 4);
  Stage(first, /*keyed=*/false);
  Nginx nginx(dir / "www", dir / "nginx");
  const std::string station = Workstation("station", /*keyed=*/false);
  // The link drops mid-package and stays down for the rest of the run.
  CuttingRelay relay(nginx.port(), {.cutAfter = 700000, .cuts = 1, .refuseAfterCuts = true});
  const auto cut = Run(station, relay.port());
  EXPECT_NE(cut.exitCode, kUpdated);
  EXPECT_TRUE(ReadFile(station + "/Pellarion.exe") == ReadFile(kApp1));
  ASSERT_TRUE(fs::exists(station + "/Pellarion.bin.part"));
  ASSERT_TRUE(fs::exists(station + "/Pellarion.bin.resume"));
  // A new build of the same version replaces the package before the next
  // run, over a link that holds again.
  Stage(second, /*keyed=*/false);
  relay.Heal();
  const auto run = Run(station, relay.port());
  EXPECT_EQ(run.exitCode, kUpdated) << ReadFile(station + "/update.log");
  EXPECT_TRUE(ReadFile(station + "/Pellarion.exe") == second);
  // The next run asked to resume; the server's new version came whole.
  const std::string log = nginx.AccessLog();
  EXPECT_EQ(Lines(log, {"200 ", "GET /update/Pellarion.bin", "\"bytes="}), 1) << log;
  EXPECT_EQ(Lines(log, {"206 "}), 0) << log;
}

// A workstation at 3.1.0.11 fetches the delta the tool made from that
// build, not the package, and installs what it makes.
TEST_F(NginxEndToEndTest, AnUpdateByDeltaFetchesTheDeltaInsteadOfThePackage) {
  // Two builds of about a megabyte that differ in 1% of their bytes.
  const auto builds = testing::MakeTwoBuilds(1 << 20, 0.01, 6);
  const std::string before = ReadFile(kApp3Before) + builds.base, app = ReadFile(kApp3) + builds.next;
  WriteFile(dir / "before/Pellarion.exe", before, 0755);
  Stage(app, /*keyed=*/true, {"--delta-from", dir / "before/Pellarion.exe"});
  Nginx nginx(dir / "www", dir / "nginx");
  const std::string station = Workstation("station");
  WriteFile(station + "/Pellarion.exe", before, 0755);
  const auto run = Run(station, nginx.port());
  const std::string log = ReadFile(station + "/update.log");
  EXPECT_EQ(run.exitCode, kUpdated) << log;
  EXPECT_TRUE(ReadFile(station + "/Pellarion.exe") == app);
  EXPECT_THAT(log, MatchesRegex("(.|\r|\n)*delta from the installed 3\\.1\\.0\\.11: [0-9]+ bytes instead of " +
                                std::to_string(app.size()) + " \\(9[0-9]\\.[0-9]% saved\\)(.|\r|\n)*"));
  const std::string access = nginx.AccessLog();
  EXPECT_EQ(Lines(access, {"200 ", "GET /update/Pellarion.bin.from-"}), 1) << access;
  EXPECT_EQ(Lines(access, {"GET /update/Pellarion.bin HTTP"}), 0) << access;
}

// Three servers: nothing listens on the first, the second is busy whenever
// asked, the third serves the signed tree: the release is installed from the
// third, and its packages never asked of the others.
TEST_F(NginxEndToEndTest, AListOfServersIsAskedInOrderUntilOneServesTheRelease) {
  const std::string app = LargeApplication(300000, 6);
  Stage(app);
  Nginx nginx(dir / "www", dir / "nginx");
  TestHttpServer busy;
  busy.Alias("/update/update.txt", "/busy/100/1");
  const std::string refusing = "127.0.0.1:" + std::to_string(testing::FreeLoopbackPort());
  const std::string third = "127.0.0.1:" + std::to_string(nginx.port());
  const std::string station = Workstation("station");
  const auto run = Run(station, refusing + ";127.0.0.1:" + std::to_string(busy.port()) + ";" + third);
  const std::string log = ReadFile(station + "/update.log");
  EXPECT_EQ(run.exitCode, kUpdated) << log;
  EXPECT_TRUE(ReadFile(station + "/Pellarion.exe") == app);
  EXPECT_EQ(busy.Requests(), std::vector<std::string>(4, "/update/update.txt"));
  EXPECT_EQ(Lines(nginx.AccessLog(), {"200 ", "GET /update/Pellarion.bin HTTP"}), 1) << nginx.AccessLog();
  EXPECT_THAT(log, HasSubstr("update server " + refusing + " passed over"));
  EXPECT_THAT(log, HasSubstr("update server " + third + " taken"));
}

// Twelve updaters started at once against a server that serves three
// package downloads at a time, each for about a second, and four more that
// are up to date: turned away with 503 and a Retry-After, each comes back
// later and every one is updated within its single run; the manifest is
// never turned away, so the stations that are up to date say so.
TEST_F(NginxEndToEndTest, AFleetBehindAConnectionLimitAllUpdateInOneRun) {
  const std::string app = LargeApplication(90000, 5);
  Stage(app);
  Nginx nginx(dir / "www", dir / "nginx",
              {.serverExtra = "limit_conn fleet 3; limit_rate 100k;",
               .httpExtra = "limit_conn_zone $pellarion_package zone=fleet:1m;",
               .retryAfterSeconds = 1});
  constexpr int kFleet = 12, kCurrent = 4;
  testing::Spawned processes;
  std::vector<int> updaters;
  for (int i = 0; i < kFleet + kCurrent; ++i) {
    const std::string station = Workstation("station" + std::to_string(i));
    if (i >= kFleet) WriteFile(station + "/Pellarion.exe", app, 0755);
    updaters.push_back(processes.Start({station + "/update.exe"},
                                       {{"PELLARION_UPDATE_SERVER", "127.0.0.1:" + std::to_string(nginx.port())}},
                                       /*quiet=*/true));
  }
  int ended = 0;
  for (const int pid : updaters) ended += processes.Wait(pid, 120000) == kUpdated ? 1 : 0;
  EXPECT_EQ(ended, kFleet + kCurrent);
  for (int i = 0; i < kFleet + kCurrent; ++i) {
    EXPECT_TRUE(ReadFile(dir / ("station" + std::to_string(i) + "/Pellarion.exe")) == app) << i;
  }
  // The limit was met, and answered with 503 and when to come back; never
  // for the manifest.
  const std::string log = nginx.AccessLog();
  EXPECT_GT(Lines(log, {"503 ", "GET /update/Pellarion.bin"}), 0) << log;
  EXPECT_EQ(Lines(log, {"503 ", "GET /update/update.txt"}), 0) << log;
  EXPECT_THAT(ReadFile(dir / "station0/update.log") + ReadFile(dir / "station1/update.log") +
                  ReadFile(dir / "station2/update.log") + ReadFile(dir / "station3/update.log"),
              HasSubstr("HTTP status 503, the server is busy; again in 1 s."));
}

// A staged rollout over a fleet of 50 workstations: at 20 % about a fifth of
// them take the release, the application and the updater alike; the same
// packages staged again at 100 % over the live tree reach all of them; a
// newer release at 0 % (halted) reaches none. Each updater ends with exit
// code 0 either way.
TEST_F(NginxEndToEndTest, ARolloutReachesItsShareOfTheFleetThenAllOfItAndAHaltedReleaseNone) {
  constexpr int kFleet = 50;
  const std::string app3 = ReadFile(kApp3), updater56 = std::string(FIXTURE_DIR) + "/linux-app-2.0.0.56";
  const auto stage = [&](const std::string& app, const char* rollout) {
    std::vector<std::string> command = {PUBLISH_EXE, "stage", "--app", app, "--updater", updater56, "--key",
                                        SIGNING_KEY, "--rollout", rollout, dir / "www"};
    if (fs::exists(dir / "www")) command.insert(command.end() - 1, {"--previous", dir / "www/update/update.txt"});
    const auto staged = RunProgram(command, {}, 60000);
    ASSERT_EQ(staged.exitCode, 0) << staged.output;
  };
  std::vector<std::string> stations;
  for (int i = 0; i < kFleet; ++i) stations.push_back(Workstation("station" + std::to_string(i)));
  stage(kApp3, "20");
  Nginx nginx(dir / "www", dir / "nginx");
  // Every workstation runs once, all at the same time; then how many run
  // the application `app`. Those, and only those, stage the new updater.
  const auto runFleet = [&](const std::string& app) {
    testing::Spawned processes;
    std::vector<int> updaters;
    for (const auto& station : stations) {
      fs::remove(station + "/update.bin");
      updaters.push_back(processes.Start({station + "/update.exe"},
                                         {{"PELLARION_UPDATE_SERVER", "127.0.0.1:" + std::to_string(nginx.port())}},
                                         /*quiet=*/true));
    }
    for (const int pid : updaters) EXPECT_EQ(processes.Wait(pid, 120000), 0);
    int taken = 0;
    for (const auto& station : stations) {
      const bool installed = ReadFile(station + "/Pellarion.exe") == app;
      EXPECT_EQ(fs::exists(station + "/update.bin"), installed) << station;
      taken += installed ? 1 : 0;
    }
    return taken;
  };
  // Outside 1 to 22 of 50 at 20 %: less than once in 20,000 runs (binomial).
  const int atTwenty = runFleet(app3);
  EXPECT_GE(atTwenty, 1);
  EXPECT_LE(atTwenty, 22);
  stage(kApp3, "100");  // over the tree --previous names
  const int atHundred = runFleet(app3);
  EXPECT_EQ(atHundred, kFleet);
  // Halted: a newer application staged at 0 %.
  const std::string app13 = testing::StandInImage("3.1.0.13", "a build no workstation gets");
  WriteFile(dir / "app-3.1.0.13", app13, 0755);
  stage(dir / "app-3.1.0.13", "0");
  const int halted = runFleet(app13);
  EXPECT_EQ(halted, 0);
  for (const auto& station : stations) {
    EXPECT_THAT(ReadFile(station + "/update.log"), HasSubstr(", rollout 0)")) << station;
  }
  std::cout << "rollout of " << kFleet << " workstations: " << atTwenty << " took it at 20 %, " << atHundred
            << " at 100 %, " << halted << " the halted release\n";
}

}  // namespace
}  // namespace pellarion
