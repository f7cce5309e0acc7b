// The update from the update server, against the in-memory platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "app/ExitCodes.h"
#include "app/Form1.h"
#include "app/Messages.h"
#include "app/RunLog.h"
#include "download/ResumeRecord.h"
#include "gate/SignedRelease.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/FaultInjectingPlatform.h"
#include "tests/support/FakeRelease.h"
#include "tests/support/FakeRun.h"
#include "tests/support/TwoBuilds.h"
#include "tools/publish/DeltaMaker.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

using ::testing::Contains, ::testing::ElementsAre, ::testing::IsEmpty, ::testing::Not;
using testing::FakePlatform, testing::FaultInjectingPlatform, testing::Op;
using testing::kApp, testing::kDir, testing::kRecordCleared, testing::Status;

const std::string kPackage = kDir + "Pellarion.bin";
const std::string kManifestUrl = "http://u/update/update.txt";
const std::string kPackageUrl = "http://u/update/Pellarion.bin";
const std::string kUpdaterUrl = "http://u/update/update.bin";

std::string Fetch(const std::string& url, const std::string& name) {
  return "download " + url + " -> " + kDir + name + ".part";
}
std::string Place(const std::string& name) {
  return "replace " + kDir + name + ".part -> " + kDir + name;
}

// The delta the publisher's tool makes from `base` to `next`.
std::string DeltaOf(const std::string& base, const std::string& next) {
  FakePlatform scratch;
  scratch.AddFile("C:\\base", base);
  scratch.AddFile("C:\\next", next);
  publish::MakeDelta(scratch, "C:\\base", "C:\\next", "C:\\delta");
  return scratch.File("C:\\delta").contents;
}

// The line of a release description that binds `delta` to `base`.
DeltaEntry DeltaLine(const std::string& base, const std::string& delta) {
  return {FakePlatform::Sha256Of(base), delta.size(), FakePlatform::Sha256Of(delta)};
}

class InternetModeTest : public ::testing::Test {
 protected:
  InternetModeTest() {
    fake.AddFile(kDir + "update.exe", "updater", "2.0.0.55");
    fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
    fake.AddFile(kDir + "format.dll");
    fake.processes = {{10, "C:\\Pellarion\\Pellarion.exe"}};
  }

  // The manifest offers `app` (key 1) and `updater` (key 3).
  void Offer(const std::string& app, const std::string& updater) {
    fake.server[kManifestUrl] = {app + "*a*b\r\nline two\r\nx*y*" + updater + "\r\n", ""};
  }

  // Runs the whole run; true when it ended (false: the window stays open).
  bool Run() {
    run = testing::RunOnFake(faults, fake, "u", key);
    return !end.windowStaysOpen;
  }

  FakePlatform fake;
  FaultInjectingPlatform faults{fake};
  std::string key;  // the build's publisher key; none by default
  testing::FakeRunResult run;
  RunEnd& end = run.end;
  StatusLine& status = run.status;
  std::vector<std::string>& after = run.after;
};

TEST_F(InternetModeTest, ANewerApplicationIsDownloadedSwappedInAndStarted) {
  Offer("31012", "20055");
  fake.server[kPackageUrl] = {"app 3.1.0.12", "3.1.0.12"};
  EXPECT_TRUE(Run());
  EXPECT_THAT(after, ElementsAre(Fetch(kManifestUrl, "update.txt"), Place("update.txt"),
                                 Status("#00FF00", messages::kDownloading),
                                 Fetch(kPackageUrl, "Pellarion.bin"), Place("Pellarion.bin"), "stop",
                                 "replace " + kPackage + " -> " + kApp,
                                 Status("#00FF00", messages::kUpdated), "pause 3000",
                                 "start " + kApp + " 2", kRecordCleared));
  EXPECT_EQ(fake.File(kApp).contents, "app 3.1.0.12");
  EXPECT_FALSE(fake.HasFile(kPackage));
  EXPECT_EQ(end.outcome, Outcome::Updated);
  EXPECT_EQ(end.ExitCode(), 0);
  // The log tells the download, then the gate's verdict on what it brought,
  // and ends with the run's end.
  EXPECT_THAT(testing::LogLines(fake, kPackageUrl),
              ElementsAre(::testing::StartsWith("download " + kPackageUrl + ": HTTP 200"),
                          ::testing::StartsWith("gate: " + kPackageUrl + " accepted")));
  EXPECT_THAT(testing::LogLines(fake, "end ("),
              ElementsAre("end (exit code 0): updated: " + std::string(messages::kUpdated)));
}

TEST_F(InternetModeTest, AnEqualOrLowerOfferIsUpToDateAfterTheUpdaterCheck) {
  for (const std::string offered : {"1001", "999", "1 0 0 1"}) {
    if (fake.HasFile(kDir + "update.txt")) fake.RemoveFile(kDir + "update.txt");
    fake.log.clear();
    Offer(offered, "20055");
    EXPECT_TRUE(Run());
    EXPECT_THAT(after, ElementsAre(Fetch(kManifestUrl, "update.txt"), Place("update.txt"),
                                   Status("#00FF00", messages::kUpToDate), "pause 3000"))
        << offered;
    EXPECT_EQ(end.outcome, Outcome::UpToDate);
  }
  EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
  EXPECT_EQ(fake.processes.size(), 1u);
}

TEST_F(InternetModeTest, WithoutAManifestTheConnectionErrorShowsInRed) {
  // An old manifest must not stand in for the one that did not arrive.
  fake.AddFile(kDir + "update.txt", "99999*a*b\r\n\r\nx*y*99999\r\n");
  EXPECT_TRUE(Run());
  EXPECT_THAT(after, ElementsAre("delete " + kDir + "update.txt", Fetch(kManifestUrl, "update.txt"),
                                 Status("#FF0000", messages::kUpdateFailed),
                                 Status("#FF0000", messages::kCheckFailed), "pause 3000"));
  EXPECT_EQ(end.ExitCode(), 2);
  // What failed is the download, not the manifest's contents.
  EXPECT_THAT(testing::LogLines(fake, "manifest"), IsEmpty());
}

TEST_F(InternetModeTest, AManifestThatOffersNoVersionIsAFailedCheck) {
  const struct Case {
    const char* name;
    std::string manifest;
    bool unreadable;
    const char* text;
    Colour colour;
  } cases[] = {
      {"the installed version", "1001*a*b\r\n", false, messages::kUpToDate, kGreen},
      {"a byte-order mark first", "\xEF\xBB\xBF" "1001*a*b\r\n", false, messages::kUpToDate, kGreen},
      {"an HTML page", "<html><body>Sign in</body></html>\r\n", false, messages::kCheckFailed, kRed},
      {"garbage", "\x7f\x01\xfe*\x02\r\n", false, messages::kCheckFailed, kRed},
      {"UTF-16", std::string("\xFF\xFE" "1\0" "0\0" "0\0" "1\0" "*\0", 12), false, messages::kCheckFailed, kRed},
      {"empty", "", false, messages::kCheckFailed, kRed},
      {"unreadable", "1001*a*b\r\n", true, messages::kCheckFailed, kRed},  // last: the fault stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.log.clear();
    fake.server[kManifestUrl] = {c.manifest, ""};
    if (c.unreadable) faults.Fail(Op::OpenInput, "update.txt");
    EXPECT_TRUE(Run());
    EXPECT_EQ(status.text, c.text);
    EXPECT_EQ(status.colour, c.colour);
    // A failed check asks nothing more of the server.
    if (c.colour == kRed) {
      EXPECT_EQ(fake.Logged("download").size(), 1u);
    }
  }
}

TEST_F(InternetModeTest, AKeyedUpdaterTakesOnlyWhatTheCurrentSignedReleaseNamesForItsRole) {
  key = "publisher key";
  // Both packages carry the same version: only the signed role tells them
  // apart.
  const testing::FakeFile app{"app 3.1.0.12", "3.1.0.12"}, updater{"updater 3.1.0.12", "3.1.0.12"};
  const std::string release = testing::FakeSignedRelease(5, app, updater, key);
  const std::string record = kDir + "update.release";
  const struct Case {
    const char* name;
    std::string manifest;
    testing::FakeFile package;
    const char* seen;  // the release recorded before the run; nothing: none
    const char* status;
  } cases[] = {
      {"the signed release", release, app, nullptr, messages::kUpdated},
      {"the updater's package as the application", release, updater, nullptr, messages::kUpdateFailed},
      {"a package of another release", release, {"app 3.1.0.12 rebuilt", "3.1.0.12"}, nullptr,
       messages::kUpdateFailed},
      {"an older release after a newer one", release, app, "6\r\n", messages::kCheckFailed},
      {"an expired release", testing::FakeSignedRelease(5, app, updater, key, {.expires = "2026-12-08T11:59:59Z"}),
       app, nullptr, messages::kCheckFailed},
      {"a release for the share only", testing::FakeSignedRelease(5, app, updater, key, {.channels = {"share"}}), app,
       nullptr, messages::kCheckFailed},
      {"a release for another server", testing::FakeSignedRelease(5, app, updater, key, {.channels = {"v"}}), app,
       nullptr, messages::kCheckFailed},
      {"a release for this server by its name", testing::FakeSignedRelease(5, app, updater, key, {.channels = {"u"}}),
       app, nullptr, messages::kUpdated},
      {"a line changed after signing", ReplaceText(release, "release 5", "release 9"), app, nullptr,
       messages::kCheckFailed},
      {"signed with another key", testing::FakeSignedRelease(5, app, updater, "another key"), app, nullptr,
       messages::kCheckFailed},
      {"no release description", release.substr(0, release.find("pellarion-release")), app, nullptr,
       messages::kCheckFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
    fake.processes = {{10, kApp}};
    if (fake.HasFile(record)) fake.RemoveFile(record);
    if (c.seen) fake.AddFile(record, c.seen);
    fake.log.clear();
    fake.server = {{kManifestUrl, {c.manifest, ""}}, {kPackageUrl, c.package}, {kUpdaterUrl, updater}};
    Run();
    const bool installed = c.status == messages::kUpdated;
    EXPECT_EQ(fake.File(kApp).contents, installed ? app.contents : "app 1.0.0.1");
    EXPECT_EQ(status.text, c.status);
    // Nothing is stopped for a refused package, and nothing is fetched
    // beyond a manifest that is not trusted.
    EXPECT_EQ(fake.processes.empty(), installed);
    if (c.status == messages::kCheckFailed) {
      EXPECT_EQ(fake.Logged("download").size(), 1u);
    }
    EXPECT_FALSE(fake.HasFile(kPackage));
    // Any valid release is recorded, and a record never goes down.
    EXPECT_EQ(fake.HasFile(record) ? fake.File(record).contents : "",
              c.seen ? c.seen : c.status == messages::kCheckFailed ? "" : "server 5\r\n");
  }
  // The signed length is the download's cap: a longer body is never written
  // beyond it.
  fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
  fake.server = {{kManifestUrl, {release, ""}}, {kPackageUrl, {"app 3.1.0.12 and more", "3.1.0.12"}}};
  Run();
  EXPECT_EQ(status.text, messages::kUpdateFailed);
  EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
  EXPECT_NE(fake.File(kDir + "update.log")
                .contents.find("more than the " + std::to_string(testing::FakeEntry(app).length) + " bytes allowed"),
            std::string::npos);
}

// A keyed updater takes the signed delta from its installed file; anything
// else about the delta (none listed for that file, not there, cut, not the
// signed bytes, not a patch, not making the package) costs it nothing but
// the whole package, fetched in the same run. What a delta made passes the
// gate as a download does, and a refusal there is final.
TEST_F(InternetModeTest, AKeyedUpdaterTakesTheSignedDeltaFromItsInstalledFileElseTheWholePackage) {
  key = "publisher key";
  const auto builds = testing::MakeTwoBuilds(64 * 1024, 0.01, 3);
  const testing::FakeFile installed{builds.base, "1.0.0.1"}, app{builds.next, "3.1.0.12"};
  const testing::FakeFile higher{builds.base, "3.1.1.0"};  // digits 3110: offered 31012, and lower part by part
  // The signed release of `app` and of `updater`, with these deltas.
  const auto serve = [&](const testing::FakeFile& updater, std::vector<DeltaEntry> appDeltas,
                         std::vector<DeltaEntry> updaterDeltas) {
    ReleaseDescription release;
    release.release = 5;
    release.channels = {"server"};
    release.application = testing::FakeEntry(app);
    release.updater = testing::FakeEntry(updater);
    release.applicationDeltas = std::move(appDeltas);
    release.updaterDeltas = std::move(updaterDeltas);
    fake.server = {{kManifestUrl, {testing::FakeSigned(release, key), ""}}, {kPackageUrl, app}, {kUpdaterUrl, updater}};
  };
  const std::string delta = DeltaOf(installed.Bytes(), app.Bytes()), fromHigher = DeltaOf(higher.Bytes(), app.Bytes());
  // One byte changed: a delta of the same length, and a build of the same length.
  std::string changed = delta, anotherBuild = app.Bytes();
  changed[changed.size() / 2] ^= 1;
  anotherBuild[anotherBuild.size() / 2] ^= 1;
  const std::string ofAnotherBuild = DeltaOf(installed.Bytes(), anotherBuild), notAPatch = "<html>signed</html>";
  const struct Case {
    const char* name;
    testing::FakeFile installed;
    DeltaEntry listed;
    std::optional<std::string> served;  // at the delta's URL; nothing: 404
    bool cut;                           // its transfer breaks halfway, every time
    std::string logged;
    Outcome outcome;
    bool byDelta;
  } cases[] = {
      {"the listed base", installed, DeltaLine(installed.Bytes(), delta), delta, false,
       "delta from the installed 1.0.0.1: " + std::to_string(delta.size()) + " bytes instead of " +
           std::to_string(app.Bytes().size()) + " (",
       Outcome::Updated, true},
      {"another base", installed, DeltaLine(app.Bytes(), delta), delta, false,
       "no delta from the installed 1.0.0.1 is listed: the whole package", Outcome::Updated, false},
      {"not on the server", installed, DeltaLine(installed.Bytes(), delta), std::nullopt, false,
       "failed: HTTP status 404", Outcome::Updated, false},
      {"cut", installed, DeltaLine(installed.Bytes(), delta), delta, true, "failed: connection closed early",
       Outcome::Updated, false},
      {"another delta under its name", installed, DeltaLine(installed.Bytes(), delta), changed, false,
       "failed: refused: not the signed delta", Outcome::Updated, false},
      {"a signed delta that is not a patch", installed, DeltaLine(installed.Bytes(), notAPatch), notAPatch, false,
       "failed: the delta is not a zstd patch", Outcome::Updated, false},
      {"a signed delta of another build", installed, DeltaLine(installed.Bytes(), ofAnotherBuild), ofAnotherBuild,
       false, "failed: what it makes is not the signed package", Outcome::Updated, false},
      {"a signed package the gate refuses", higher, DeltaLine(higher.Bytes(), fromHigher), fromHigher, false,
       "refused: version 3.1.0.12 is not higher than the installed 3.1.1.0", Outcome::Refused, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    serve(fake.File(kDir + "update.exe"), {c.listed}, {});
    const std::string deltaUrl = "http://u/update/" + DeltaFileName("Pellarion.bin", c.listed.baseSha256);
    if (c.served) fake.server[deltaUrl] = {*c.served, ""};
    fake.cutHalfway = {c.cut ? deltaUrl : ""};
    fake.AddFile(kApp, c.installed.contents, c.installed.version);
    fake.requests.clear();
    Run();
    EXPECT_EQ(end.outcome, c.outcome);
    EXPECT_EQ(fake.File(kApp).Bytes(), c.outcome == Outcome::Updated ? app.Bytes() : c.installed.Bytes());
    std::vector<std::string> asked;
    for (const auto& request : fake.requests) asked.push_back(request.url);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), deltaUrl), c.logged.rfind("no ", 0) == 0 ? 0 : c.cut ? 4 : 1);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), kPackageUrl), c.byDelta ? 0 : 1);
    EXPECT_THAT(testing::LogLines(fake, ""), Contains(::testing::HasSubstr(c.logged)));
    // Nothing of the delta, the package or what it made stays beside them.
    for (const std::string& name : fake.ListFiles(fake.appDir)) {
      EXPECT_EQ(name.rfind("Pellarion.bin", 0), std::string::npos) << name;
    }
  }

  // The updater's delta from the running update.exe, the same way; an
  // updater without a key never asks for one.
  const auto updaters = testing::MakeTwoBuilds(32 * 1024, 0.01, 4);
  const testing::FakeFile running{updaters.base, "2.0.0.55"}, next{updaters.next, "2.0.0.56"};
  const std::string updaterDelta = DeltaOf(running.Bytes(), next.Bytes());
  serve(next, {}, {DeltaLine(running.Bytes(), updaterDelta)});
  const std::string deltaUrl =
      "http://u/update/" + DeltaFileName("update.bin", FakePlatform::Sha256Of(running.Bytes()));
  fake.server[deltaUrl] = {updaterDelta, ""};
  fake.AddFile(kDir + "update.exe", running.contents, running.version);
  fake.AddFile(kApp, app.contents, app.version);
  for (const char* publisherKey : {"publisher key", ""}) {
    key = publisherKey;
    if (fake.HasFile(kDir + "update.bin")) fake.RemoveFile(kDir + "update.bin");
    Run();
    EXPECT_EQ(end.outcome, Outcome::Updated);
    EXPECT_EQ(fake.File(kDir + "update.bin").Bytes(), next.Bytes());
    EXPECT_EQ(fake.requests.back().url, key.empty() ? kUpdaterUrl : deltaUrl);
  }
  EXPECT_THAT(testing::LogLines(fake, "delta from the installed 2.0.0.55: "),
              ElementsAre(::testing::MatchesRegex(".*: [0-9]+ bytes instead of [0-9]+ \\([0-9]+\\.[0-9]% saved\\)")));
}

// A staged rollout: the release, application and updater alike, is taken
// only when the workstation's draw is below its share; otherwise the run is
// up to date, fetches nothing but the manifest, and the release still counts
// as seen. The identity is made once, when first needed, and kept.
TEST_F(InternetModeTest, ARolledOutReleaseIsTakenOnlyWhenTheWorkstationsDrawIsBelowItsShare) {
  key = "publisher key";
  const testing::FakeFile app{"app 3.1.0.12", "3.1.0.12"}, updater{"updater 2.0.0.56", "2.0.0.56"};
  const auto release = [&](int rollout) {
    return testing::FakeSignedRelease(5, app, updater, key, {.rollout = rollout});
  };
  int draw = 0;
  const auto check = [&](int rollout) {
    SCOPED_TRACE(rollout);
    const bool taken = rollout > draw;
    fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
    for (const std::string& file : {kDir + "update.bin", kDir + "update.release"}) {
      if (fake.HasFile(file)) fake.RemoveFile(file);
    }
    fake.log.clear();
    fake.server = {{kManifestUrl, {release(rollout), ""}}, {kPackageUrl, app}, {kUpdaterUrl, updater}};
    Run();
    EXPECT_EQ(end.outcome, taken ? Outcome::Updated : Outcome::UpToDate);
    EXPECT_EQ(fake.HasFile(kDir + "update.bin"), taken);
    EXPECT_EQ(fake.Logged("download").size(), taken ? 3u : 1u);
    EXPECT_EQ(fake.File(kDir + "update.release").contents, "server 5\r\n");
    if (!taken) {
      EXPECT_EQ(testing::LogLines(fake, "rollout").back(), "not in this release's rollout (draw " +
                                                               std::to_string(draw) + ", rollout " +
                                                               std::to_string(rollout) + ")");
    }
  };
  // A share of 0 is never taken, whatever the draw; that run makes the
  // identity the draws follow from.
  fake.server = {{kManifestUrl, {release(0), ""}}};
  Run();
  const std::string identity = fake.File(kDir + "update.identity").contents;
  ASSERT_EQ(identity.size(), 34u);
  draw = RolloutDraw(fake, *ParseHex(identity.substr(0, 32), 16), *ReadReleaseDescription(release(100)).description);
  for (const int rollout : {100, 0, draw, draw + 1, draw}) check(rollout);
  EXPECT_EQ(fake.File(kDir + "update.identity").contents, identity);
  EXPECT_EQ(testing::LogLines(fake, "workstation identity").size(), 1u);
}

TEST_F(InternetModeTest, EveryRunIsRecordedInABoundedLog) {
  // A log just short of its bound: the run's first line still goes in, then
  // it moves aside and the run goes on in a new one.
  const std::string older(kMaxLogBytes - 10, 'x');
  fake.AddFile(kDir + "update.log", older);
  Offer("31012", "20055");  // and no package on the server
  EXPECT_FALSE(Run());
  const std::string rotated = fake.File(kDir + "update.log.1").contents;
  EXPECT_TRUE(rotated.compare(0, older.size(), older) == 0);
  EXPECT_EQ(rotated.substr(older.size(), 38), "2026-12-08T10:35:13+02:00 start: updat");
  const std::string log = fake.File(kDir + "update.log").contents;
  for (const char* event : {"mode: from the update server", "download http://u/update/update.txt: HTTP 200, ",
                            "compare: installed 1001, offered \"31012\": newer",
                            "download http://u/update/Pellarion.bin failed after ",
                            "HTTP status 404", "end (exit code 3): update failed, the window stays open: "}) {
    EXPECT_NE(log.find(event), std::string::npos) << event;
  }
  // The old manifest, the .part files and the cache folder were not there:
  // expected, so no failure is written.
  EXPECT_EQ(log.find("skipped after a failure"), std::string::npos) << log;
  for (std::size_t at = 0; at < log.size(); at = log.find("\r\n", at) + 2) {
    EXPECT_EQ(log.compare(at, 26, "2026-12-08T10:35:13+02:00 "), 0) << "a line without its time at " << at;
  }
  // A log that cannot be written costs the run nothing.
  fake.log.clear();
  faults.Fail(Op::AppendToLog, "update.log");
  fake.AddFile(kDir + "update.log", std::string(kMaxLogBytes, 'x'));
  Offer("1001", "20055");
  EXPECT_TRUE(Run());
  EXPECT_EQ(status.text, messages::kUpToDate);
  EXPECT_EQ(fake.File(kDir + "update.log").contents.size(), static_cast<std::size_t>(kMaxLogBytes));
}

TEST_F(InternetModeTest, APackageThatIsNotThereOrNotAnApplicationIsNeverInstalled) {
  struct Case {
    const char* name;
    bool offered;
    testing::FakeFile package;
  } cases[] = {
      {"missing on the server", false, {}},
      {"an HTML page served with 200", true, {"<html>sign in</html>", ""}},
      {"an empty file", true, {"", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.log.clear();
    fake.server.clear();
    Offer("31012", "20055");
    if (c.offered) fake.server[kPackageUrl] = c.package;
    // A package left by an earlier run is not installed either.
    fake.AddFile(kPackage, "stale app", "3.1.0.12");
    EXPECT_FALSE(Run());  // the window stays open
    EXPECT_EQ(status.text, messages::kUpdateFailed);
    EXPECT_EQ(status.colour, kRed);
    EXPECT_THAT(after, Contains("delete " + kPackage));
    EXPECT_THAT(after, Not(Contains("stop")));
    EXPECT_EQ(after.back(), "pause 2500");
    EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
    EXPECT_FALSE(fake.HasFile(kPackage));
  }
}

// Two hours into the run a package still trickles in: the transfer ends, the
// run ends with the failure text, and the application was never stopped.
TEST_F(InternetModeTest, TheRunsDeadlineEndsTheTransferAndTheRunLeavingTheApplicationAlone) {
  Offer("31012", "20055");
  const std::int64_t start = fake.monotonicMs;
  const std::string manifest = fake.server[kManifestUrl].Bytes();
  fake.transport = [&](const TransferRequest& request, TransferSink& sink) {
    if (request.url == kManifestUrl) {
      sink.Head(testing::Answer(200, std::to_string(manifest.size())));
      return sink.Body(manifest.data(), manifest.size());
    }
    // 2 KB a second, forever: fast enough for the pace, never done.
    sink.Head(testing::Answer(200, "500000000"));
    for (;;) {
      fake.monotonicMs += std::min<std::int64_t>(1000, std::max<std::int64_t>(1, sink.WaitLimitMs()));
      sink.Body(std::string(2048, 'x').data(), 2048);
    }
  };
  EXPECT_TRUE(Run());
  EXPECT_EQ(status.text, messages::kUpdateFailed);
  EXPECT_EQ(status.colour, kRed);
  EXPECT_EQ(end.ExitCode(), 3);
  EXPECT_THAT(after, Not(Contains("stop")));
  EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
  EXPECT_GE(fake.monotonicMs - start, 7200 * 1000);
  EXPECT_LT(fake.monotonicMs - start, 7201 * 1000);
}

// The start-up removes what cut-off runs left, composed names too, but keeps
// a package's cut transfer whose record still matches it, to resume.
TEST_F(InternetModeTest, LeftoversGoExceptAPackageTransferThatCanResume) {
  fake.AddFile(kPackage + ".part", std::string(60, 'o'));
  fake.AddFile(kPackage + ".resume", ResumeRecordText({kPackageUrl, "31012", {60, "\"a\"", 100}}));
  fake.AddFile(kDir + "update.bin.part", std::string(40, 'u'));  // fewer bytes than its record says
  fake.AddFile(kDir + "update.bin.resume", ResumeRecordText({kUpdaterUrl, "", {50, "\"b\"", 100}}));
  fake.AddFile(kDir + "update.bin.part.copy-Ab12Cd", "a share copy cut off");
  fake.AddFile(kDir + "update.txt.resume", "not a package's");
  // A delta's cut transfer is kept as a package's is; a delta downloaded
  // whole or a package made from one is not.
  fake.AddFile(kDir + "update.bin.delta.part", std::string(30, 'd'));
  fake.AddFile(kDir + "update.bin.delta.resume", ResumeRecordText({kUpdaterUrl + ".zst", "ab", {30, "\"c\"", 90}}));
  fake.AddFile(kPackage + ".delta", "a delta never applied");
  fake.AddFile(kPackage + ".patched", "made by a delta, not yet accepted");
  fake.AddFile(kDir + "Pellarion.stopped.copy-Zz9Yx8", "a record cut off");
  Offer("1001", "20055");
  EXPECT_TRUE(Run());
  for (const char* kept : {"Pellarion.bin.part", "Pellarion.bin.resume", "update.bin.delta.part",
                           "update.bin.delta.resume"}) {
    EXPECT_TRUE(fake.HasFile(kDir + kept)) << kept;
  }
  for (const char* gone : {"update.bin.part", "update.bin.resume", "update.bin.part.copy-Ab12Cd", "update.txt.resume",
                           "Pellarion.bin.delta", "Pellarion.bin.patched", "Pellarion.stopped.copy-Zz9Yx8"}) {
    EXPECT_FALSE(fake.HasFile(kDir + gone)) << gone;
  }
}

TEST_F(InternetModeTest, AFailedSwapKeepsTheOldApplicationAndStartsItAgain) {
  Offer("31012", "20055");
  fake.server[kPackageUrl] = {"app 3.1.0.12", "3.1.0.12"};
  faults.Fail(Op::MoveReplacing, "Pellarion.bin|");
  EXPECT_FALSE(Run());
  const std::vector<std::string> tail(after.end() - 6, after.end());
  EXPECT_THAT(tail, ElementsAre("stop", Status("#FF0000", messages::kUpdateFailed), "start " + kApp + " 2",
                                kRecordCleared, "delete " + kPackage, "pause 2500"));
  EXPECT_EQ(fake.File(kApp).contents, "app 1.0.0.1");
  EXPECT_FALSE(fake.HasFile(kPackage));
}

TEST_F(InternetModeTest, ANewerUpdaterIsStagedAndItsSuccessShownOnlyWhenItArrived) {
  // Up to date: messages 10 and 7 in blue, then the up-to-date text in green.
  Offer("1001", "31012");
  fake.server[kUpdaterUrl] = {"updater 3.1.0.12", "3.1.0.12"};
  EXPECT_TRUE(Run());
  EXPECT_THAT(after, ElementsAre(Fetch(kManifestUrl, "update.txt"), Place("update.txt"),
                                 Status("#0000FF", messages::kDownloadingUpdater),
                                 Fetch(kUpdaterUrl, "update.bin"), Place("update.bin"),
                                 Status("#0000FF", messages::kUpdated),
                                 Status("#00FF00", messages::kUpToDate), "pause 3000"));
  EXPECT_EQ(end.outcome, Outcome::Updated);
  EXPECT_EQ(fake.File(kDir + "update.bin").contents, "updater 3.1.0.12");
  EXPECT_EQ(fake.File(kDir + "update.exe").contents, "updater");

  // Staged already and accepted by the gate: not fetched again.
  fake.log.clear();
  EXPECT_TRUE(Run());
  EXPECT_THAT(after, ElementsAre("delete " + kDir + "update.txt", Fetch(kManifestUrl, "update.txt"),
                                 Place("update.txt"), Status("#00FF00", messages::kUpToDate), "pause 3000"));
  EXPECT_EQ(end.outcome, Outcome::UpToDate);

  // After an application update, an updater that does not arrive leaves the
  // failure text, not the success text.
  fake.log.clear();
  fake.RemoveFile(kDir + "update.bin");
  fake.server.erase(kUpdaterUrl);
  Offer("31012", "31012");
  fake.server[kPackageUrl] = {"app 3.1.0.12", "3.1.0.12"};
  fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
  EXPECT_TRUE(Run());
  EXPECT_EQ(status.text, messages::kUpdateFailed);
  EXPECT_EQ(status.colour, kRed);
  EXPECT_EQ(fake.File(kApp).contents, "app 3.1.0.12");
  EXPECT_EQ(end.outcome, Outcome::UpdateFailed);

  // The application current and the updater not arriving: the failure text
  // stays the last word, not the up-to-date text.
  Offer("31012", "40000");
  EXPECT_TRUE(Run());
  EXPECT_EQ(status.text, messages::kUpdateFailed);
  EXPECT_EQ(end.outcome, Outcome::UpdateFailed);
}

// Three servers: the first has no manifest, the second is busy, the third
// is taken and its package installed. No failure shows while a server is
// left to ask, and each pause before the next comes from the run's random
// number.
TEST_F(InternetModeTest, TheServersAreAskedInOrderAndThePackagesComeFromTheOneTaken) {
  const std::string three = "a;b;c";
  const auto manifest = [](const char* server) { return "http://" + std::string(server) + "/update/update.txt"; };
  const testing::FakeFile app{"app 3.1.0.12", "3.1.0.12"}, updater{"updater 3.1.0.12", "3.1.0.12"};
  fake.statuses[manifest("b")] = 503;
  fake.server[manifest("c")] = {"31012*a*b\r\nline two\r\nx*y*20055\r\n", ""};
  fake.server["http://c/update/Pellarion.bin"] = app;
  fake.server["http://a/update/Pellarion.bin"] = {"another app 3.1.0.12", "3.1.0.12"};
  run = testing::RunOnFake(faults, fake, three, key);
  EXPECT_EQ(end.outcome, Outcome::Updated);
  EXPECT_EQ(fake.File(kApp).contents, app.contents);
  std::vector<std::string> asked;
  for (const TransferRequest& request : fake.requests) asked.push_back(request.url);
  EXPECT_THAT(asked, ElementsAre(manifest("a"), manifest("b"), manifest("b"), manifest("b"), manifest("b"),
                                 manifest("c"), "http://c/update/Pellarion.bin"));
  EXPECT_THAT(fake.Logged("status #FF0000"), IsEmpty());
  // Before b; b's three back-offs; before c.
  const std::vector<std::string> pauses = fake.Logged("pause ");
  ASSERT_GE(pauses.size(), 5u);
  const std::int64_t windows[] = {2000, 2000, 4000, 8000, 2000};
  for (int i = 0; i < 5; ++i) {
    const std::int64_t ms = std::stoll(pauses[i].substr(6));
    EXPECT_GE(ms, windows[i]) << i;
    EXPECT_LT(ms, 2 * windows[i]) << i;
  }
  std::vector<std::string> servers = testing::LogLines(fake, "update server ");
  std::erase_if(servers, [](const std::string& line) { return line.rfind("update server ", 0) != 0; });
  EXPECT_THAT(servers,
              ElementsAre(::testing::StartsWith("update server a passed over; the next in "),
                          ::testing::StartsWith("update server b passed over; the next in "),
                          "update server c taken"));

  // Every server passed over: the failure shows once, at the end.
  fake.log.clear();
  fake.requests.clear();
  fake.server.erase(manifest("c"));
  run = testing::RunOnFake(faults, fake, three, key);
  EXPECT_EQ(end.ExitCode(), 2);
  EXPECT_EQ(fake.requests.size(), 6u);
  EXPECT_THAT(fake.Logged("status #FF0000"),
              ElementsAre(Status("#FF0000", messages::kUpdateFailed), Status("#FF0000", messages::kCheckFailed)));

  // A keyed build passes over a server whose release it cannot trust.
  key = "publisher key";
  fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
  fake.server[manifest("a")] = {testing::FakeSignedRelease(5, app, updater, "another key"), ""};
  fake.server[manifest("c")] = {testing::FakeSignedRelease(5, app, updater, key), ""};
  fake.server["http://c/update/update.bin"] = updater;
  run = testing::RunOnFake(faults, fake, three, key);
  EXPECT_EQ(end.outcome, Outcome::Updated);
  EXPECT_EQ(fake.File(kApp).contents, app.contents);
  EXPECT_THAT(testing::LogLines(fake, "release refused"), ElementsAre(::testing::HasSubstr("signature")));
}

TEST_F(InternetModeTest, AManifestWithoutAnUpdaterKeyNeverComparesTheUpdaterWithTheApplication) {
  for (const std::string manifest : {"31012*1*2\r\n", "31012*1*2\n1*2*3\nx*y*40000\n"}) {
    fake.log.clear();
    fake.server[kManifestUrl] = {manifest, ""};
    fake.server[kPackageUrl] = {"app 3.1.0.12", "3.1.0.12"};
    fake.AddFile(kApp, "app 1.0.0.1", "1.0.0.1");
    EXPECT_TRUE(Run());
    EXPECT_THAT(after, Not(Contains(Fetch(kUpdaterUrl, "update.bin"))));
    EXPECT_EQ(fake.File(kApp).contents, "app 3.1.0.12");
  }
}

}  // namespace
}  // namespace pellarion
