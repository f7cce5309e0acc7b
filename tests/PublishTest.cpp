// pellarion-publish end to end on the fixture executables: what it stages
// the Linux update.exe installs, what the updater would refuse it refuses,
// and `verify` finds every kind of damage a published tree can suffer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "app/ExitCodes.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"
#include "tools/publish/VersionOrder.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

const std::string kFixtures = FIXTURE_DIR;

// The tool with its standard error in the output, where its refusals go.
testing::RunResult Publish(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", PUBLISH_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

// Files of `folder`'s parent whose names start with `folder`'s name plus
// something: what a staging left behind.
std::vector<std::string> StagingLeftovers(const std::string& folder) {
  std::vector<std::string> found;
  const std::string name = "." + fs::path(folder).filename().string();
  for (const auto& entry : fs::directory_iterator(fs::path(folder).parent_path())) {
    if (entry.path().filename().string().rfind(name, 0) == 0) found.push_back(entry.path());
  }
  return found;
}

TEST(VersionOrderTest, SuggestsOnlyVersionsTheUpdaterTakesForNewer) {
  struct Case {
    std::string newDotted, previous;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"2.0.1.0", "20055", {"2.0.1.10", "2.0.0.56"}},   // the trap itself
      {"1.0.0.0", "10000", {"1.0.0.10", "10.0.0.1"}},   // 10001 cannot be 1.0.0.01
      {"3.1", "99999", {"3.10000", "10000.0"}},         // 100000 is only 10000.0
      {"2.0.0.55", "20055", {"2.0.0.56"}},              // equal: both ways give the same
      {"1.0.0.0", "7", {"1.0.0.0"}},                    // any four parts beat one digit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(publish::VersionsThatWouldWork(c.newDotted, c.previous), c.expected) << c.newDotted;
  }
  EXPECT_EQ(publish::WhyNotOffered("the updater", "3.1.0.12", "20055"), "");
  const std::string why = publish::WhyNotOffered("the updater", "2.0.1.0", "20055");
  for (const std::string part : {"2010", "20055", "2.0.1.10 (20110)", "2.0.0.56 (20056)"}) {
    EXPECT_NE(why.find(part), std::string::npos) << part << " in " << why;
  }
}

TEST(PublishTest, ACommandLineThatMakesNoSenseIsAUsageError) {
  const std::vector<std::vector<std::string>> wrong = {
      {}, {"publish"}, {"stage", "--updater", "u.exe", "out"}, {"stage", "--app", "a", "--updater", "u"},
      {"verify", "a", "b"}, {"verify", "dir", "--sign"}, {"keygen", "dir", "--key"}};
  for (const auto& args : wrong) {
    const auto run = Publish(args);
    EXPECT_EQ(run.exitCode, 2) << ::testing::PrintToString(args) << run.output;
    EXPECT_NE(run.output.find("Usage:"), std::string::npos);
  }
  EXPECT_EQ(Publish({"--help"}).exitCode, 0);
}

TEST(PublishTest, StageRefusesWhatTheUpdaterWouldRefuseAndLeavesNothing) {
  TempDir dir;
  std::string cut = ReadFile(kApp3);
  WriteFile(dir / "cut-elf", cut.substr(0, cut.size() / 2));
  cut = ReadFile(kFixtures + "/pe-3.1.0.12.exe");
  WriteFile(dir / "cut-pe", cut.substr(0, cut.size() - 100));
  WriteFile(dir / "previous.txt", "1001*1001*20055\r\n1001*1001*20055\r\n1001*1001*20055\r\n");
  struct Case {
    std::string app, updater, previous;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {kFixtures + "/pe-dll-3.1.0.12.dll", UPDATE_EXE, "", {"pe-dll-3.1.0.12.dll is refused: a DLL"}},
      {kApp3, kFixtures + "/linux-lib-3.1.0.12.so", "", {"linux-lib-3.1.0.12.so is refused"}},
      {dir / "cut-elf", UPDATE_EXE, "", {"cut-elf is refused: cut off"}},
      {kApp3, dir / "cut-pe", "", {"cut-pe is refused: cut off"}},
      {kApp3, dir / "previous.txt", "", {"previous.txt is refused"}},
      // The digit-order trap: 2.0.1.0 is 2010, below the live 20055.
      {kApp3, kFixtures + "/pe-2.0.1.0.exe", dir / "previous.txt",
       {"2.0.1.0 has the digits 2010, a smaller number than the previous manifest's 20055", "2.0.1.10"}},
      // Nothing newer than what is offered.
      {kApp1, UPDATE_EXE, dir / "previous.txt", {"1001, the same number", "20055, the same number"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"stage", "--app", c.app, "--updater", c.updater, dir / "www"};
    if (!c.previous.empty()) args.insert(args.end(), {"--previous", c.previous});
    const auto run = Publish(args);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    for (const auto& text : c.expected) EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
    EXPECT_FALSE(Exists(dir / "www"));
    EXPECT_EQ(StagingLeftovers(dir / "www"), std::vector<std::string>{});
  }
}

class PublishedTreeTest : public ::testing::Test {
 protected:
  TempDir dir;  // stops the application the updater started in it
};

// Staged unsigned over a signed tree already there, with the live manifest
// compared, served by a plain web server and installed by the updater.
TEST_F(PublishedTreeTest, TheUpdaterInstallsWhatWasStagedOverALiveTree) {
  ASSERT_EQ(Publish({"keygen", dir / "keys"}).exitCode, 0);
  const std::string key = dir / "keys/publisher-private.pem";
  auto run = Publish({"stage", "--app", kApp1, "--updater", UPDATE_EXE, "--key", key, "--release", "9", dir / "www"});
  ASSERT_NE(ReadFile(dir / "www/update/update.txt").find("\r\nrelease 9\r\n"), std::string::npos) << run.output;
  fs::create_directories(dir / "www/other");
  WriteFile(dir / "www/update/notes.html", "mine");
  // A release number must grow past the live one.
  run = Publish({"stage", "--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--release", "3", "--previous",
                 dir / "www/update/update.txt", dir / "www"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("release 3 is not higher than the live release 9"), std::string::npos) << run.output;

  run = Publish({"stage", "--app", kApp3, "--updater", UPDATE_EXE, "--previous", dir / "www/update/update.txt",
                 dir / "www"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("note: the updater keeps the version 20055"), std::string::npos) << run.output;
  EXPECT_EQ(ReadFile(dir / "www/update/update.txt"), "31012*31012*20055\r\n31012*31012*20055\r\n31012*31012*20055\r\n");
  EXPECT_EQ(ReadFile(dir / "www/update/Pellarion.bin"), ReadFile(kApp3));
  EXPECT_EQ(ReadFile(dir / "www/update/notes.html"), "mine");
  EXPECT_EQ(StagingLeftovers(dir / "www"), std::vector<std::string>{});

  testing::TestHttpServer server(dir / "www");
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  run = Publish({"verify", base});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("ok       update/Pellarion.bin: " + std::to_string(fs::file_size(kApp3)) + " bytes"),
            std::string::npos) << run.output;

  fs::create_directories(dir / "app");
  fs::copy_file(UPDATE_EXE, dir / "app/update.exe");
  fs::copy_file(kApp1, dir / "app/Pellarion.exe");
  WriteFile(dir / "app/format.dll", "");
  run = RunProgram({dir / "app/update.exe"}, {{"PELLARION_UPDATE_SERVER", base}});
  EXPECT_EQ(run.exitCode, ExitCodeOf(Outcome::Updated));
  EXPECT_EQ(ReadFile(dir / "app/Pellarion.exe"), ReadFile(kApp3)) << run.output;
}

TEST_F(PublishedTreeTest, VerifyFindsEveryDamageTheUpdaterWouldRefuse) {
  const auto keygen = Publish({"keygen", dir / "keys"});
  ASSERT_EQ(keygen.exitCode, 0) << keygen.output;
  EXPECT_NE(keygen.output.find("-DPELLARION_PUBLISHER_KEY=" + dir / "keys/publisher-public.pem"), std::string::npos);
  struct stat st{};
  ASSERT_EQ(::stat((dir / "keys/publisher-private.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string privateKey = ReadFile(dir / "keys/publisher-private.pem");
  EXPECT_EQ(Publish({"keygen", dir / "keys"}).exitCode, 1);
  EXPECT_EQ(ReadFile(dir / "keys/publisher-private.pem"), privateKey);

  const std::string key = dir / "keys/publisher-private.pem";
  const std::string publicKey = dir / "keys/publisher-public.pem";
  for (const std::string tree : {"server", "share"}) {
    std::vector<std::string> args = {"stage", "--app", kApp3, "--updater", UPDATE_EXE, "--key", key, dir / tree};
    if (tree == "share") args.push_back("--share");
    const auto run = Publish(args);
    if (run.output.find("no signature check in this build yet") != std::string::npos) {
      GTEST_SKIP() << "this build's platform cannot check signatures yet";
    }
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(Publish({"verify", dir / tree, "--key", publicKey}).exitCode, 0);
  }

  struct Damage {
    std::string tree, file;
    std::function<void(const std::string& path)> damage;
    std::string found;
  };
  const auto flipLastByte = [](const std::string& path) {
    std::string bytes = ReadFile(path);
    bytes.back() ^= 1;
    WriteFile(path, bytes);
  };
  const auto edit = [](const std::string& from, const std::string& to) {
    return [from, to](const std::string& path) { WriteFile(path, ReplaceText(ReadFile(path), from, to)); };
  };
  const auto swapWith = [](const std::string& other) {
    return [other](const std::string& path) {
      const std::string bytes = ReadFile(path);
      WriteFile(path, ReadFile(other));
      WriteFile(other, bytes);
    };
  };
  const std::string appSize = std::to_string(fs::file_size(kApp3));
  const std::string notSigned = " bytes, refused: not the signed release's package: ";
  const Damage damages[] = {
      {"server", "update/Pellarion.bin", flipLastByte,
       "update/Pellarion.bin: " + appSize + notSigned + "its SHA-256 is not the signed one"},
      {"server", "update/update.bin", [&](const std::string& p) { WriteFile(p, ReadFile(kApp1)); },
       "version 1.0.0.1 (1001) is not the offered 20055"},
      {"server", "update/update.txt", edit("\r\nrelease ", "\r\nrelease 1"),
       "update/update.txt: the signature is not the publisher's"},
      {"server", "update/update.txt", edit("\r\n", "\n"), "line ends are LF only"},
      {"server", "update/update.txt", edit("31012*31012*20055\r\n31012", "31012*31012*20055\r\n\r\n31012"),
       "lines 1 to 3 are not the same line"},
      {"share", "Pellarion/pellarion.exe", flipLastByte,
       "Pellarion/pellarion.exe: " + appSize + notSigned + "its SHA-256"},
      {"share", "Pellarion/update.exe", swapWith(dir / "damaged/Pellarion/pellarion.exe"),
       "Pellarion/update.exe: " + appSize + notSigned + "its length"},
      {"share", "Pellarion/update.txt", [](const std::string& p) { fs::remove(p); }, "Pellarion/update.txt: missing"},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.file + ": " + d.found);
    const std::string copy = dir / "damaged";
    fs::remove_all(copy);
    fs::copy(dir / d.tree, copy, fs::copy_options::recursive);
    d.damage(copy + "/" + d.file);
    const auto run = Publish({"verify", copy, "--key", publicKey});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    const auto line = run.output.find(d.found);
    ASSERT_NE(line, std::string::npos) << run.output;
    EXPECT_EQ(run.output.rfind("PROBLEM", line), run.output.rfind("\n", line) + 1) << run.output;
  }
}

}  // namespace
}  // namespace pellarion
