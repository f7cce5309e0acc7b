// pellarion-publish end to end on the fixture executables: what it stages
// the Linux update.exe installs, what the updater would refuse it refuses,
// and `verify` finds every kind of damage a published tree can suffer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "app/ExitCodes.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Fixtures.h"
#include "tests/support/StandInImage.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"
#include "tools/publish/KeyEncoding.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/ReleaseWriter.h"
#include "tools/publish/VersionOrder.h"
#include "versions/LineFile.h"
#include "versions/ReleaseDescription.h"
#include "versions/SignatureText.h"
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

FileVersionNumbers V(const std::string& dotted) {
  const auto parts = SplitFields(dotted, '.');
  return {static_cast<std::uint16_t>(std::stoul(parts[0])), static_cast<std::uint16_t>(std::stoul(parts[1])),
          static_cast<std::uint16_t>(std::stoul(parts[2])), static_cast<std::uint16_t>(std::stoul(parts[3]))};
}

TEST(VersionOrderTest, SuggestsOnlyVersionsBothChecksOfTheUpdaterTake) {
  struct Case {
    std::string file, live;
    bool taken;
    std::vector<std::string> working;
  };
  const Case cases[] = {
      {"3.1.0.13", "3.1.0.12", true, {"3.1.0.13"}},
      {"2.0.1.0", "2.0.0.55", false, {"2.0.1.10", "2.0.0.56"}},     // 2010 < 20055: never offered
      {"2.0.0.100", "3.1.0.12", false, {"3.1.0.13"}},              // 200100 offered, then refused: lower
      {"3.1.1.0", "3.1.0.12", false, {"3.1.1.10", "3.1.0.13"}},     // 3110 < 31012
      {"3.1.0.12", "3.1.0.12", false, {"3.1.0.13"}},
      {"2.0.0.65535", "2.0.0.65535", false, {"2.0.1.10000"}},       // the last part is full
  };
  for (const auto& c : cases) {
    const publish::LiveVersion live{VersionDigits(c.live), V(c.live), true};
    EXPECT_EQ(publish::WouldBeTaken(V(c.file), live), c.taken) << c.file;
    std::vector<std::string> working;
    for (const auto& v : publish::VersionsThatWouldWork(V(c.file), live)) {
      working.push_back(v.Dotted());
      EXPECT_TRUE(publish::WouldBeTaken(v, live)) << v.Dotted();
    }
    EXPECT_EQ(working, c.working) << c.file;
    EXPECT_EQ(publish::WhyNotTaken("the updater", V(c.file), live).empty(), c.taken) << c.file;
  }
  // A live tree without a release description names only the digits.
  const std::pair<std::string, std::string> lowest[] = {
      {"31012", "3.1.0.12"}, {"1001", "1.0.0.1"}, {" 20065535", "2.0.0.65535"}, {"0123", "0.1.2.3"},
      {"123", "0.0.0.0"},    {"700000000000000000000", "0.0.0.0"}};
  for (const auto& [digits, dotted] : lowest) {
    EXPECT_EQ(publish::LowestVersionWithDigits(digits).Dotted(), dotted) << digits;
  }
}

TEST(VersionOrderTest, ReleasesAreNumberedOneWayForServersAndShares) {
  const std::int64_t now = 1796342400 + 3 * 3600 + 4 * 60 + 5;  // 2026-12-04 03:04:05 UTC
  struct Case {
    std::optional<std::uint64_t> given, live;
    std::uint64_t expected;  // 0: refused
  };
  const Case cases[] = {
      {{}, {}, 20261204030405},
      {{}, 7, 20261204030405},
      {{}, 20261204030405, 20261204030406},  // a live number at or past the time counts on
      {{}, 99999999999999999, 100000000000000000},
      {12, 7, 12},
      {7, 7, 0},
      {3, 9, 0},
  };
  for (const auto& c : cases) {
    if (c.expected == 0) {
      EXPECT_THROW(publish::ChooseRelease(c.given, c.live, now), publish::PublishError);
    } else {
      EXPECT_EQ(publish::ChooseRelease(c.given, c.live, now), c.expected);
    }
  }
}

TEST(PublishTest, ACommandLineThatMakesNoSenseIsAUsageError) {
  const std::vector<std::vector<std::string>> wrong = {
      {}, {"publish"}, {"stage", "--updater", "u.exe", "out"}, {"stage", "--app", "a", "--updater", "u"},
      {"verify", "a", "b"}, {"verify", "dir", "--sign"}, {"keygen", "dir", "--key"},
      {"stage", "--app", "a", "--updater", "u", "--key", "k", "--release", "0", "out"},
      {"stage", "--app", "a", "--updater", "u", "--key", "k", "--expires", "2027-02-30", "out"},
      {"stage", "--app", "a", "--updater", "u", "--release", "5", "out"},
      {"stage", "--app", "a", "--updater", "u", "--delta-from", "b", "out"},
      {"stage", "--app", "a", "--updater", "u", "--key", "k", "--delta-from", "b", "--share", "out"},
      {"stage", "--app", "a", "--updater", "u", "--key", "k", "out", "--delta-from"},
      {"stage", "--app", "a", "--updater", "u", "--rollout", "20", "out"},
      {"stage", "--app", "a", "--updater", "u", "--key", "k", "--rollout", "101", "out"},
      {"stage", "--app", "a", "--updater", "u", "--key", "k", "--channel", "Updates.example.com", "out"},
      {"stage", "--app", "a", "--updater", "u", "--key", "k", "--channel", "share", "--channel", "share", "out"},
      {"certify", "--root", "r", "--key", "k", "out"},
      {"certify", "--root", "r", "--key", "k", "--sequence", "0", "out"},
      {"fleet", "--days", "x", "access.log"}};
  for (const auto& args : wrong) {
    const auto run = Publish(args);
    EXPECT_EQ(run.exitCode, 2) << ::testing::PrintToString(args) << run.output;
    EXPECT_NE(run.output.find("Usage:"), std::string::npos);
  }
  EXPECT_EQ(Publish({"--help"}).exitCode, 0);
}

// Every file under `folder` with its length and a hash of its contents
// (short enough to print when they differ).
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string contents = ReadFile(entry.path());
    files[entry.path()] = std::to_string(contents.size()) + " bytes, hash " +
                          std::to_string(std::hash<std::string>{}(contents));
  }
  return files;
}

// Each refusal comes before anything is written: a live signed tree stays
// byte for byte as it was, and nothing is left beside it.
TEST(PublishTest, StageRefusesBeforeWritingAnything) {
  TempDir dir;
  const std::string out = dir / "www", live = dir / "www/update/update.txt";
  ASSERT_EQ(Publish({"keygen", dir / "keys"}).exitCode, 0);
  ASSERT_EQ(Publish({"keygen", dir / "other"}).exitCode, 0);
  const std::string key = dir / "keys/publisher-private.pem";
  const auto staged =
      Publish({"stage", "--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--release", "9", out});
  ASSERT_EQ(staged.exitCode, 0) << staged.output;
  const auto before = Snapshot(out);

  std::string cut = ReadFile(kApp3);
  WriteFile(dir / "cut-elf", cut.substr(0, cut.size() / 2));
  cut = ReadFile(kFixtures + "/pe-3.1.0.12.exe");
  WriteFile(dir / "cut-pe", cut.substr(0, cut.size() - 100));
  WriteFile(dir / "app-2.0.0.100", testing::StandInImage("2.0.0.100", "lower, with larger digits"), 0755);
  // A private key file whose public half is another key's: the release it
  // signs fails the check of the staged tree.
  std::string why;
  auto mixed = publish::DecodePrivateKeyPem(ReadFile(key), why);
  const auto other = publish::DecodePrivateKeyPem(ReadFile(dir / "other/publisher-private.pem"), why);
  ASSERT_TRUE(mixed && other) << why;
  mixed->x = other->x;
  mixed->y = other->y;
  WriteFile(dir / "mixed.pem", publish::EncodePrivateKeyPem(*mixed), 0600);

  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{"--app", kFixtures + "/pe-dll-3.1.0.12.dll", "--updater", UPDATE_EXE},
       {"pe-dll-3.1.0.12.dll is refused: a DLL"}},
      {{"--app", kApp3, "--updater", kFixtures + "/linux-lib-3.1.0.12.so"}, {"linux-lib-3.1.0.12.so is refused"}},
      {{"--app", dir / "cut-elf", "--updater", UPDATE_EXE}, {"cut-elf is refused: cut off"}},
      {{"--app", kApp3, "--updater", dir / "cut-pe"}, {"cut-pe is refused: cut off"}},
      {{"--app", kApp3, "--updater", live}, {"update.txt is refused"}},
      // The digit-order trap: 2.0.1.0 is 2010, below the live 20055.
      {{"--app", kApp3, "--updater", kFixtures + "/pe-2.0.1.0.exe", "--key", key},
       {"refused, nothing was staged:\n  the updater 2.0.1.0 (digits 2010) would not be taken over the live "
        "2.0.0.55 (20055): 2010 is a smaller number than 20055",
        "Versions that would work: 2.0.1.10 (20110), 2.0.0.56 (20056)."}},
      // Larger digits, but lower part by part: the updater's check of the
      // package refuses it.
      {{"--app", dir / "app-2.0.0.100", "--updater", UPDATE_EXE, "--key", key},
       {"the application 2.0.0.100 (digits 200100) would not be taken over the live 3.1.0.12 (31012): it is not "
        "higher, part by part, than 3.1.0.12",
        "Versions that would work: 3.1.0.13 (31013)."}},
      {{"--app", kApp3, "--updater", UPDATE_EXE}, {"nothing newer: the application 3.1.0.12 and the updater 2.0.0.55"}},
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--release", "3"},
       {"release 3 is not higher than the live release 9"}},
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--expires", "2020-01-31"},
       {"the expiry 2020-01-31 has passed"}},
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", dir / "keys/publisher-public.pem"},
       {"publisher-public.pem: this is a public key; stage signs with the private key"}},
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", dir / "mixed.pem"},
       {"PROBLEM  update/update.txt: ", "the staged tree has 1 problem (above)"}},
      // Deltas: from an earlier build of either package, each once.
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--delta-from", kApp1},
       {"linux-app-1.0.0.1, version 1.0.0.1, is not told apart as an earlier build of the application (version "
        "3.x) or of the updater (version 2.x)"}},
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--delta-from", kApp3},
       {"linux-app-3.1.0.12, version 3.1.0.12, is not older than the application 3.1.0.12 it would make"}},
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--delta-from", kApp3Before, "--delta-from",
        kApp3Before},
       {"linux-app-3.1.0.11, version 3.1.0.11, is the same file as "}},
      // A server's tree that no server would take.
      {{"--app", kApp3, "--updater", UPDATE_EXE, "--key", key, "--channel", "share"},
       {"PROBLEM  update/update.txt: meant for share, not for the server it was read from"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"stage", "--previous", live, out};
    args.insert(args.begin() + 1, c.args.begin(), c.args.end());
    const auto run = Publish(args);
    SCOPED_TRACE(::testing::PrintToString(args) + "\n" + run.output);
    EXPECT_EQ(run.exitCode, 1);
    for (const auto& text : c.expected) EXPECT_NE(run.output.find(text), std::string::npos) << text;
    EXPECT_EQ(run.output.find("\\n"), std::string::npos);
    EXPECT_EQ(Snapshot(out), before);
    EXPECT_EQ(StagingLeftovers(out), std::vector<std::string>{});
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
  run = Publish({"stage", "--app", kApp3, "--updater", UPDATE_EXE, "--previous", dir / "www/update/update.txt",
                 dir / "www"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("note: the updater keeps the version 2.0.0.55"), std::string::npos) << run.output;
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
    if (tree == "server") args.insert(args.end() - 1, {"--delta-from", kApp3Before});
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
  std::string delta;  // the delta from kApp3Before
  for (const auto& entry : fs::directory_iterator(dir / "server/update")) {
    if (entry.path().extension() == ".zst") delta = "update/" + entry.path().filename().string();
  }
  ASSERT_NE(delta, "");
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
      {"server", delta, flipLastByte, delta + ": its SHA-256 is not the signed one"},
      {"server", delta, [](const std::string& p) { fs::remove(p); }, delta + ": missing"},
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

// A release key under a root: certify vouches for it, stage signs with it
// only beside the certificate that names it, and verify checks the
// certificate with the root's public key and names the key as openssl would.
TEST_F(PublishedTreeTest, AReleaseKeySignsBesideTheRootsCertificate) {
  for (const std::string name : {"root", "release", "other"}) ASSERT_EQ(Publish({"keygen", dir / name}).exitCode, 0);
  const auto key = [&](const std::string& name, const char* half) {
    return dir / (name + "/publisher-" + half + ".pem");
  };
  const std::string certificate = dir / "release.certificate";
  const std::vector<std::string> certify = {"certify", "--root", key("root", "private"), "--key",
                                            key("release", "public"), "--sequence", "4", "--expires", "2099-12-31",
                                            certificate};
  auto run = Publish(certify);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::string fingerprint =
      "SHA-256 " + HexDigest(testing::FakePlatform::Sha256Of(*DecodePublicKeyPem(ReadFile(key("release", "public")))));
  EXPECT_NE(run.output.find("release key: " + fingerprint), std::string::npos) << run.output;
  EXPECT_EQ(Publish(certify).exitCode, 1);  // an existing certificate is never replaced

  run = Publish({"stage", "--app", kApp3, "--updater", UPDATE_EXE, "--key", key("other", "private"), "--certificate",
                 certificate, dir / "www"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("certifies the release key " + fingerprint + ", not the public half of --key"),
            std::string::npos) << run.output;
  EXPECT_FALSE(Exists(dir / "www"));
  run = Publish({"stage", "--app", kApp3, "--updater", UPDATE_EXE, "--key", key("release", "private"),
                 "--certificate", certificate, "--rollout", "20", "--channel", "updates.example.com", dir / "www"});
  ASSERT_EQ(run.exitCode, 0) << run.output;

  run = Publish({"verify", dir / "www", "--key", key("root", "public")});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const std::string& line : std::vector<std::string>{
           "rollout 20 %, for updates.example.com",
           "certificate sequence 4, expires 2099-12-31T23:59:59Z, release key " + fingerprint,
           "signed by a release key the root key certified"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  run = Publish({"verify", dir / "www", "--key", key("other", "public")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("PROBLEM  update/update.txt: the release key's certificate (sequence 4) is not signed by "
                            "the publisher's root key"),
            std::string::npos) << run.output;
}

}  // namespace
}  // namespace pellarion
