// The Linux update.exe built with a publisher key, against trees that
// pellarion-publish staged and signed: an update server speaking HTTPS with a
// test authority, and a share. Only what the current signed release names
// for each role is installed or staged.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "app/ExitCodes.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

using testing::Exists, testing::ReadFile, testing::RunProgram, testing::TempDir, testing::WriteFile;
using testing::TestCertificates, testing::TestHttpServer;
namespace fs = std::filesystem;

// A newer updater, as far as versions go.
const std::string kUpdater56 = std::string(FIXTURE_DIR) + "/linux-app-2.0.0.56";

class SignedUpdateEndToEndTest : public ::testing::Test {
 protected:
  SignedUpdateEndToEndTest()
      : certificates(testing::MakeTestCertificates((fs::create_directories(dir / "tls"), dir / "tls"))),
        server(dir / "server", &certificates) {
    fs::create_directories(dir / "app");
    fs::copy_file(SIGNED_UPDATE_EXE, dir / "app/update.exe");
    fs::copy_file(kApp1, dir / "app/Pellarion.exe");
    WriteFile(dir / "app/format.dll", "");
    running = processes.Start({dir / "app/Pellarion.exe"});
  }

  // pellarion-publish stage of `app` and `updater` into `out` with
  // `options`, signed with the key the updater trusts.
  void Stage(const std::string& app, const std::string& updater, const std::vector<std::string>& options,
             const std::string& out) {
    std::vector<std::string> argv = {PUBLISH_EXE, "stage", "--app", app, "--updater", updater, "--key", SIGNING_KEY};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(out);
    const auto staged = RunProgram(argv);
    ASSERT_EQ(staged.exitCode, 0) << staged.output;
  }
  testing::RunResult Run() {
    return RunProgram({dir / "app/update.exe"},
                      {{"PELLARION_UPDATE_SERVER", "https://127.0.0.1:" + std::to_string(server.port())},
                       {"PELLARION_CA_FILE", certificates.authority}});
  }
  bool StillRuns() {
    int status = 0;
    return !stopped && !(stopped = processes.Ended(running, status));
  }
  std::string Log() { return ReadFile(dir / "app/update.log"); }

  TempDir dir;
  const std::string update = dir / "server/update/";
  TestCertificates certificates;
  TestHttpServer server;
  testing::Spawned processes;
  int running = 0;
  bool stopped = false;
};

TEST_F(SignedUpdateEndToEndTest, InstallsTheStagedReleaseOverHttpsAndRecordsIt) {
  Stage(kApp3, kUpdater56, {"--release", "5"}, dir / "server");
  const auto run = Run();
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated)) << run.output;
  EXPECT_TRUE(ReadFile(dir / "app/Pellarion.exe") == ReadFile(kApp3));
  EXPECT_TRUE(ReadFile(dir / "app/update.bin") == ReadFile(kUpdater56));
  EXPECT_FALSE(StillRuns());
  EXPECT_EQ(ReadFile(dir / "app/update.release"), "server 5\r\n");
  EXPECT_NE(Log().find("accepted: a whole ELF 64-bit executable of the offered version 3.1.0.12, the signed "
                       "release's package"),
            std::string::npos);
}

TEST_F(SignedUpdateEndToEndTest, RefusesSwappedRolesChangedPackagesAndAnOlderRelease) {
  Stage(kApp3, kUpdater56, {"--release", "5"}, dir / "signed");
  const auto publish = [&] {
    fs::remove_all(dir / "server");
    fs::copy(dir / "signed", dir / "server", fs::copy_options::recursive);
  };
  const auto swapPackages = [&] {
    fs::rename(update + "Pellarion.bin", update + "swap");
    fs::rename(update + "update.bin", update + "Pellarion.bin");
    fs::rename(update + "swap", update + "update.bin");
  };
  // The description rewritten for the swapped files, as an attacker without
  // the key would: each role's line and the offers made to fit.
  const auto swapRoles = [&] {
    std::string text = ReadFile(update + "update.txt");
    const auto line = [&](const std::string& start) {
      const std::size_t at = text.find(start);
      return text.substr(at, text.find("\r\n", at) + 2 - at);
    };
    const std::string app = line("application "), updater = line("updater ");
    text = ReplaceText(text, app + updater, "application " + updater.substr(8) + "updater " + app.substr(12));
    WriteFile(update + "update.txt", ReplaceText(text, "31012*31012*20056", "20056*20056*31012"));
  };
  const struct {
    const char* name;
    std::function<void()> damage;
    Outcome exit;
    bool appInstalled;
    const char* logged;
  } cases[] = {
      {"both packages swapped, the roles rewritten to fit",
       [&] {
         swapPackages();
         swapRoles();
       },
       Outcome::CheckFailed, false, "refused: the signature is not the publisher's"},
      {"the updater served as the application", swapPackages, Outcome::Refused, false,
       "refused: version 2.0.0.56 (20056) is not the offered 31012"},
      {"one byte changed after signing",
       [&] {
         std::string bytes = ReadFile(update + "Pellarion.bin");
         bytes[bytes.size() / 2] ^= 0x20;
         WriteFile(update + "Pellarion.bin", bytes);
       },
       Outcome::Refused, false, "refused: not the signed release's package: its SHA-256"},
      // Cut and sent without a length: the transfer cannot tell, the
      // executable's own headers do.
      {"a close-delimited, cut-off package",
       [&] {
         const std::string whole = ReadFile(update + "Pellarion.bin");
         WriteFile(update + "Pellarion.bin", whole.substr(0, whole.size() * 3 / 4));
         server.Alias("/update/Pellarion.bin", "/close-delimited/update/Pellarion.bin");
       },
       Outcome::Refused, false, "refused: cut off"},
      // A workstation that has seen release 7 (which offered nothing newer)
      // is not pinned to the validly signed, older release 5.
      {"an older release replayed after a newer one",
       [&] {
         Stage(kApp1, SIGNED_UPDATE_EXE, {"--release", "7"}, dir / "server");
         EXPECT_EQ(Run().exitCode, ExitCodeOf(Outcome::UpToDate));
         EXPECT_EQ(ReadFile(dir / "app/update.release"), "server 7\r\n");
         publish();
         fs::remove(dir / "app/update.log");
       },
       Outcome::CheckFailed, false, "release refused: older than release 7"},
      // Last: the application is legitimately installed first.
      {"the application served as the updater",
       [&] { fs::copy_file(update + "Pellarion.bin", update + "update.bin", fs::copy_options::overwrite_existing); },
       Outcome::Refused, true, "refused: version 3.1.0.12 (31012) is not the offered 20056"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.Alias("/update/Pellarion.bin", "/update/Pellarion.bin");
    publish();
    fs::remove(dir / "app/update.log");
    fs::remove(dir / "app/update.release");
    c.damage();
    const auto run = Run();
    EXPECT_EQ(run.exitCode, ExitCodeOf(c.exit));
    EXPECT_TRUE(ReadFile(dir / "app/Pellarion.exe") == ReadFile(c.appInstalled ? kApp3 : kApp1));
    EXPECT_EQ(StillRuns(), !c.appInstalled);
    EXPECT_FALSE(Exists(dir / "app/Pellarion.bin"));
    EXPECT_FALSE(Exists(dir / "app/update.bin"));
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    // A failed check fetches no package.
    if (c.exit == Outcome::CheckFailed) {
      EXPECT_EQ(Log().find("Pellarion.bin"), std::string::npos);
    }
  }
}

TEST_F(SignedUpdateEndToEndTest, FromAShareTakesNothingFromSwappedFiles) {
  fs::remove(dir / "app/format.dll");
  WriteFile(dir / "app/host.dll", dir / "share\r\n");
  Stage(kApp3, kUpdater56, {"--release", "5", "--share"}, dir / "share");
  fs::rename(dir / "share/Pellarion/pellarion.exe", dir / "share/Pellarion/swap");
  fs::rename(dir / "share/Pellarion/update.exe", dir / "share/Pellarion/pellarion.exe");
  fs::rename(dir / "share/Pellarion/swap", dir / "share/Pellarion/update.exe");
  const auto run = Run();
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Refused));
  EXPECT_TRUE(ReadFile(dir / "app/Pellarion.exe") == ReadFile(kApp1));
  EXPECT_TRUE(StillRuns());
  EXPECT_FALSE(Exists(dir / "app/update.bin"));
  EXPECT_FALSE(Exists(dir / "app/NewVersion.exe"));
  EXPECT_NE(Log().find("refused: not the signed release's package"), std::string::npos) << Log();
}

// What the share's files say is for the share alone: served by an update
// server, they are refused, and the server's own releases go on being taken.
TEST_F(SignedUpdateEndToEndTest, AShareDescriptionServedOverHttpIsRefusedAndPinsNothing) {
  Stage(kApp1, SIGNED_UPDATE_EXE, {"--release", "2"}, dir / "server");
  EXPECT_EQ(Run().exitCode, ExitCodeOf(Outcome::UpToDate));
  EXPECT_EQ(ReadFile(dir / "app/update.release"), "server 2\r\n");
  // A copy of the share's files (numbered by the time of day, far above 2).
  Stage(kApp3, kUpdater56, {"--share"}, dir / "share");
  fs::copy_file(dir / "share/Pellarion/update.txt", update + "update.txt", fs::copy_options::overwrite_existing);
  fs::copy_file(dir / "share/Pellarion/pellarion.exe", update + "Pellarion.bin", fs::copy_options::overwrite_existing);
  fs::copy_file(dir / "share/Pellarion/update.exe", update + "update.bin", fs::copy_options::overwrite_existing);
  auto run = Run();
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::CheckFailed));
  EXPECT_NE(Log().find("release refused: meant for share, not for the server 127.0.0.1 it was read from"),
            std::string::npos) << Log();
  EXPECT_EQ(ReadFile(dir / "app/update.release"), "server 2\r\n");
  EXPECT_TRUE(ReadFile(dir / "app/Pellarion.exe") == ReadFile(kApp1));
  Stage(kApp3, kUpdater56, {"--release", "3"}, dir / "server");
  run = Run();
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated)) << Log();
  EXPECT_TRUE(ReadFile(dir / "app/Pellarion.exe") == ReadFile(kApp3));
  EXPECT_EQ(ReadFile(dir / "app/update.release"), "server 3\r\n");
}

}  // namespace
}  // namespace pellarion
