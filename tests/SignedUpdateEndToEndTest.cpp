// The Linux update.exe built with a publisher key, against an update server
// that speaks HTTPS with a test authority: only the offered, whole package
// with the publisher's signature is installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>

#include "app/ExitCodes.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

extern char** environ;

namespace pellarion {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::TestCertificates;
using testing::TestHttpServer;
using testing::WriteFile;
namespace fs = std::filesystem;

const std::string kApp1 = std::string(FIXTURE_DIR) + "/linux-app-1.0.0.1";
const std::string kApp3 = std::string(FIXTURE_DIR) + "/linux-app-3.1.0.12";

class SignedUpdateEndToEndTest : public ::testing::Test {
 protected:
  SignedUpdateEndToEndTest()
      : certificates(testing::MakeTestCertificates((fs::create_directories(dir / "tls"), dir / "tls"))),
        server(dir / "server", &certificates) {
    fs::create_directories(dir / "app");
    fs::create_directories(dir / "server/update");
    fs::copy_file(SIGNED_UPDATE_EXE, dir / "app/update.exe");
    fs::copy_file(kApp1, dir / "app/Pellarion.exe");
    WriteFile(dir / "app/format.dll", "");
    WriteFile(dir / "server/update/update.txt", "31012*1*2\r\n\r\nx*y*20055\r\n");
    Publish(kApp3);
    const std::string program = dir / "app/Pellarion.exe";
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    EXPECT_EQ(::posix_spawn(&running, program.c_str(), nullptr, nullptr, argv, environ), 0);
  }
  ~SignedUpdateEndToEndTest() override {
    ::kill(running, SIGKILL);
    ::waitpid(running, nullptr, 0);
    for (const int pid : testing::ApplicationProcessesIn(dir.path())) ::kill(pid, SIGKILL);
  }

  // Puts `executable` on the server as the application package, signed.
  void Publish(const std::string& executable) {
    fs::copy_file(executable, package, fs::copy_options::overwrite_existing);
    Sign();
  }
  // Signs the package as it stands with the publisher's key, as the openssl
  // command line signs it.
  void Sign() {
    ASSERT_EQ(RunProgram({"/bin/sh", "-c",
                          "openssl dgst -sha256 -sign \"$0\" \"$1\" | openssl base64 -A > \"$1.sig\"",
                          SIGNING_KEY, package})
                  .exitCode,
              0);
  }
  testing::RunResult Run() {
    return RunProgram({dir / "app/update.exe"},
                      {{"PELLARION_UPDATE_SERVER", "https://127.0.0.1:" + std::to_string(server.port())},
                       {"PELLARION_CA_FILE", certificates.authority}});
  }
  bool StillRuns() { return ::waitpid(running, nullptr, WNOHANG) == 0; }

  TempDir dir;
  const std::string package = dir / "server/update/Pellarion.bin";
  TestCertificates certificates;
  TestHttpServer server;
  pid_t running = 0;
};

TEST_F(SignedUpdateEndToEndTest, InstallsTheSignedPackageOverHttps) {
  const auto run = Run();
  EXPECT_EQ(run.exitCode, static_cast<int>(ExitCode::Updated));
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp3));
  EXPECT_FALSE(StillRuns());
  EXPECT_NE(ReadFile(dir / "app/update.log").find("accepted: a whole ELF 64-bit executable of the offered "
                                                  "version 3.1.0.12, signed by the publisher"),
            std::string::npos);
}

TEST_F(SignedUpdateEndToEndTest, NeverInstallsATamperedCutOrUnsignedPackage) {
  const std::string whole = ReadFile(package);
  const struct {
    const char* name;
    std::function<void()> damage;
    const char* logged;
  } cases[] = {
      {"one byte changed after signing",
       [&] {
         std::string bytes = whole;
         bytes[bytes.size() / 2] ^= 0x20;
         WriteFile(package, bytes);
       },
       "refused: the signature is not the publisher's"},
      {"no signature", [&] { fs::remove(package + ".sig"); }, "refused: no signature beside the package"},
      // Cut short, signed as it is (a broken upload), and sent without a
      // length: neither the transfer nor the signature can tell, the
      // executable's own headers do.
      {"a close-delimited, cut-off package",
       [&] {
         WriteFile(package, whole.substr(0, whole.size() * 3 / 4));
         Sign();
         server.Alias("/update/Pellarion.bin", "/close-delimited/update/Pellarion.bin");
       },
       "refused: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Publish(kApp3);
    c.damage();
    const auto run = Run();
    EXPECT_EQ(run.exitCode, static_cast<int>(ExitCode::Refused));
    EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp1));
    EXPECT_TRUE(StillRuns());
    EXPECT_FALSE(Exists(dir / "app/Pellarion.bin"));
    EXPECT_NE(ReadFile(dir / "app/update.log").find(c.logged), std::string::npos);
  }
}

}  // namespace
}  // namespace pellarion
