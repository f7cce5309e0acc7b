// The Linux update.exe against an update server on 127.0.0.1: real
// downloads, real files, a real running application.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/ExitCodes.h"
#include "platform/Platform.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

namespace pellarion {
namespace {

using testing::Exists, testing::ReadFile, testing::RunProgram, testing::TempDir, testing::TestHttpServer, testing::WriteFile;
namespace fs = std::filesystem;

const std::string kFailed = "خطأ في الاتصال، فشل عملية التحديث.";

class InternetModeEndToEndTest : public ::testing::Test {
 protected:
  InternetModeEndToEndTest() : server(dir / "server") {
    fs::create_directories(dir / "app");
    fs::create_directories(dir / "server/update");
    fs::copy_file(UPDATE_EXE, dir / "app/update.exe");
    fs::copy_file(kApp1, dir / "app/Pellarion.exe");
    WriteFile(dir / "app/format.dll", "");
    fs::copy_file(kApp3, dir / "server/update/Pellarion.bin");
  }
  void Manifest(const std::string& text) { WriteFile(dir / "server/update/update.txt", text); }
  void StartApplication() { running = processes.Start({dir / "app/Pellarion.exe"}); }
  // True when the application started by the test has been stopped.
  bool Stopped() {
    int status = 0;
    return processes.Ended(running, status) && WIFSIGNALED(status) &&
           WTERMSIG(status) == SIGTERM;  // asked to close, and it did
  }
  testing::RunResult Run(const std::string& server = "") {
    return RunProgram({dir / "app/update.exe"},
                      {{"PELLARION_UPDATE_SERVER", server.empty() ? Host() : server}});
  }
  std::string Host() { return "127.0.0.1:" + std::to_string(server.port()); }
  // update.exe started in the background, its output discarded.
  int StartUpdater() {
    return processes.Start({dir / "app/update.exe"}, {{"PELLARION_UPDATE_SERVER", Host()}}, /*quiet=*/true);
  }

  TempDir dir;
  TestHttpServer server;
  testing::Spawned processes;
  int running = 0;
};

TEST_F(InternetModeEndToEndTest, InstallsANewerApplicationAndStopsTheRunningOne) {
  Manifest("31012*1*2\r\nany\r\nx*y*20055\r\n");
  StartApplication();
  // A copy installed in another folder is none of this updater's business.
  fs::create_directories(dir / "other");
  fs::copy_file(kApp1, dir / "other/Pellarion.exe");
  const int other = processes.Start({dir / "other/Pellarion.exe"});
  const auto run = Run();
  int status = 0;
  EXPECT_FALSE(processes.Ended(other, status)) << "another folder's copy was stopped";
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated));
  EXPECT_EQ(run.output, kShown + kSearching +
                            "status #00FF00 يتوفر تحديث جديد، جاري التحميل الآن.. الرجاء الانتظار.\n"
                            "status #00FF00 تمت عملية التحديث بنجاح\n");
  EXPECT_TRUE(Stopped());
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp3));
  EXPECT_FALSE(Exists(dir / "app/Pellarion.bin"));
  EXPECT_FALSE(Exists(dir / "app/update.bin"));
  // The new application was started.
  EXPECT_EQ(testing::ProcessesIn(dir / "app").size(), 1u);
  EXPECT_EQ(ReadFile(dir / "app/update.txt"), "31012*1*2\r\nany\r\nx*y*20055\r\n");
}

TEST_F(InternetModeEndToEndTest, AnEqualOrLowerOfferLeavesTheApplicationRunning) {
  StartApplication();
  for (const std::string offered : {"1001", "900"}) {
    Manifest(offered + "*1*2\r\n\r\nx*y*20055\r\n");
    const auto run = Run();
    EXPECT_EQ(run.output, kShown + kSearching +
                              "status #00FF00 النظام محدث، لا يستوجب أي تحديث ، تمتلك اخر اصدار للمنظومة.\n")
        << offered;
    EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::UpToDate));
  }
  EXPECT_FALSE(Stopped());
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp1));
}

TEST_F(InternetModeEndToEndTest, NoServerShowsTheConnectionErrorAndChangesNothing) {
  StartApplication();
  const auto run = Run("127.0.0.1:9");
  EXPECT_EQ(run.output, kShown + kSearching + "status #FF0000 " + kFailed +
                            "\nstatus #FF0000 خطأ في الاتصال، فشل عملية التحقق من التحديث عبر الانترنت.\n");
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::CheckFailed));
  EXPECT_FALSE(Stopped());
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp1));
}

TEST_F(InternetModeEndToEndTest, AMissingTruncatedOrHtmlPackageIsNeverInstalled) {
  Manifest("31012*1*2\r\n\r\nx*y*20055\r\n");
  StartApplication();
  for (const std::string servedAs : {"/status/404", "/truncated", "/html"}) {
    SCOPED_TRACE(servedAs);
    server.Alias("/update/Pellarion.bin", servedAs);
    const auto run = Run();
    EXPECT_EQ(run.exitCode, ExitCodeOf(servedAs == "/html" ? Outcome::Refused : Outcome::UpdateFailed));
    EXPECT_EQ(run.output.substr(run.output.rfind("status")), "status #FF0000 " + kFailed + "\n");
    EXPECT_FALSE(Stopped());
    EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp1));
    EXPECT_FALSE(Exists(dir / "app/Pellarion.bin"));
    EXPECT_FALSE(Exists(dir / "app/Pellarion.bin.part"));
  }
}

TEST_F(InternetModeEndToEndTest, ANewerUpdaterIsStagedAndAOneLineManifestStagesNothing) {
  fs::copy_file(kApp3, dir / "server/update/update.bin");
  Manifest("1001*1*2\r\n\r\nx*y*31012\r\n");
  auto run = Run();
  EXPECT_EQ(run.output, kShown + kSearching +
                            "status #0000FF يتوفر برنامج تحديث جديد، جاري التحميل الآن...\n"
                            "status #0000FF تمت عملية التحديث بنجاح\n"
                            "status #00FF00 النظام محدث، لا يستوجب أي تحديث ، تمتلك اخر اصدار للمنظومة.\n");
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated));
  EXPECT_EQ(ReadFile(dir / "app/update.bin"), ReadFile(kApp3));
  EXPECT_EQ(ReadFile(dir / "app/update.exe"), ReadFile(UPDATE_EXE));
  // Staged already, so not fetched again; the log names every file as the
  // system does.
  EXPECT_EQ(Run().exitCode, 0);
  EXPECT_EQ(ReadFile(dir / "app/update.log").find('\\'), std::string::npos) << ReadFile(dir / "app/update.log");

  // One line: the updater is not compared with the application's 31012.
  fs::remove(dir / "app/update.bin");
  Manifest("31012*31012*31012\r\n");
  run = Run();
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated));
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp3));
  EXPECT_FALSE(Exists(dir / "app/update.bin"));
}

TEST_F(InternetModeEndToEndTest, ARunKilledMidDownloadLeavesNothingTheNextRunKeeps) {
  Manifest("31012*1*2\r\n\r\nx*y*20055\r\n");
  server.Alias("/update/Pellarion.bin", "/stall");
  const int killed = StartUpdater();
  for (int i = 0; i < 400 && !Exists(dir / "app/Pellarion.bin.part"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ::kill(killed, SIGKILL);
  processes.Wait(killed, 5000);
  ASSERT_TRUE(Exists(dir / "app/Pellarion.bin.part"));
  // What other cut-off runs leave, and files that only look alike.
  const std::vector<std::string> leftovers = {"NewVersion.exe.copy-Ab12Cd", "update.bin.COPY-xyz789",
                                              "update.txt.part"};
  const std::vector<std::string> others = {"notes.part", "update.txt.bak", "update.bin.copy-toolong7",
                                           "Pellarion.exe.copy-ab_12c"};
  for (const auto& name : leftovers) WriteFile(dir / ("app/" + name), "x");
  for (const auto& name : others) WriteFile(dir / ("app/" + name), "mine");

  server.Alias("/update/Pellarion.bin", "/update/Pellarion.bin");
  const auto run = Run();
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated));
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp3));
  EXPECT_FALSE(Exists(dir / "app/Pellarion.bin.part"));
  for (const auto& name : leftovers) EXPECT_FALSE(Exists(dir / ("app/" + name))) << name;
  for (const auto& name : others) EXPECT_EQ(ReadFile(dir / ("app/" + name)), "mine") << name;
}

// Killed in the success pause, after the swap and before the new application
// was started: the next run starts it.
TEST_F(InternetModeEndToEndTest, ARunKilledAfterStoppingTheApplicationLeavesItToTheNextRunToStart) {
  Manifest("31012*1*2\r\n\r\nx*y*20055\r\n");
  StartApplication();
  const int killed = StartUpdater();
  const auto installed = [&] {
    return Exists(dir / "app/update.log") &&
           ReadFile(dir / "app/update.log").find("Pellarion.bin as ") != std::string::npos;
  };
  for (int i = 0; i < 400 && !installed(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ::kill(killed, SIGKILL);
  processes.Wait(killed, 5000);
  ASSERT_TRUE(installed());
  EXPECT_TRUE(Stopped());
  EXPECT_EQ(testing::ProcessesIn(dir / "app").size(), 0u);
  EXPECT_TRUE(Exists(dir / "app/Pellarion.stopped"));

  // Up to date now, the next run still starts the application, once.
  const auto run = Run();
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::UpToDate));
  EXPECT_EQ(testing::ProcessesIn(dir / "app").size(), 1u);
  EXPECT_FALSE(Exists(dir / "app/Pellarion.stopped"));
  Run();
  EXPECT_EQ(testing::ProcessesIn(dir / "app").size(), 1u);
}

}  // namespace
}  // namespace pellarion
