// The download service against a real HTTP server on 127.0.0.1, and its
// steps on the in-memory platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "app/Form1.h"
#include "app/Messages.h"
#include "download/DownloadService.h"
#include "download/clsDownload.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::Exists;
using testing::ReadFile;
using testing::TempDir;
using testing::TestHttpServer;
using testing::WriteFile;
namespace fs = std::filesystem;

// A port on which nothing listens.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() { ::setenv("PELLARION_DRIVE_C", (dir / "c").c_str(), 1); }
  ~DownloadTest() override { ::unsetenv("PELLARION_DRIVE_C"); }

  // DownloadFile into dir/target, starting from an existing target; returns
  // whether it failed.
  bool Download(const std::string& url, const DownloadLimits& limits = {.connectSeconds = 2, .stallSeconds = 2}) {
    DownloadVariables vars;
    return !DownloadFile(*platform, vars, url, target, limits).fetched;
  }

  TempDir dir;
  TestHttpServer server;
  std::unique_ptr<Platform> platform = CreateSystemPlatform();
  std::string target = dir / "Pellarion.bin";
};

TEST_F(DownloadTest, OnlyAWholeSuccessfulBodyReplacesTheTarget) {
  struct Case {
    std::string name, url;
    bool ok;
    std::string body;  // the target's contents afterwards when ok
  } cases[] = {
      {"200", server.Url("/ok"), true, "hello, updater"},
      {"redirects", server.Url("/redirect/3"), true, "hello, updater"},
      {"surrounding spaces", "  " + server.Url("/ok") + "  ", true, "hello, updater"},
      {"an HTML page with 200 is a body like any other", server.Url("/html"), true,
       "<html><body>Please sign in to the network.</body></html>\n"},
      {"404 with an HTML page", server.Url("/status/404"), false, ""},
      {"500 with an HTML page", server.Url("/status/500"), false, ""},
      {"missing file", server.Url("/update/Pellarion.bin"), false, ""},
      {"body shorter than its Content-Length", server.Url("/truncated"), false, ""},
      {"too many redirects", server.Url("/redirect/9"), false, ""},
      {"refused connection", "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/ok", false, ""},
      {"not http", "ftp://127.0.0.1/ok", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(target, "the installed package");
    const bool failureShown = Download(c.url);
    EXPECT_EQ(failureShown, !c.ok);
    EXPECT_EQ(ReadFile(target), c.ok ? c.body : "the installed package");
    EXPECT_FALSE(Exists(target + ".part"));
  }
  // A target that did not exist stays absent on failure.
  fs::remove(target);
  EXPECT_TRUE(Download(server.Url("/status/404")));
  EXPECT_FALSE(Exists(target));
}

TEST_F(DownloadTest, AStalledTransferGivesUpAfterTheStallLimit) {
  WriteFile(target, "the installed package");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Download(server.Url("/stall"), {.connectSeconds = 2, .stallSeconds = 2}));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1500));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(ReadFile(target), "the installed package");
  EXPECT_FALSE(Exists(target + ".part"));
}

TEST_F(DownloadTest, TheBrowserCacheFolderIsPurgedBeforeEveryDownload) {
  const std::string cache =
      dir / ("c/Users/" + platform->UserName() + "/AppData/Local/Microsoft/Windows/INetCache/IE");
  for (int i = 0; i < 2; ++i) {
    WriteFile(cache + "/entry" + std::to_string(i), "cached");
    EXPECT_FALSE(Download(server.Url("/ok")));
    EXPECT_FALSE(Exists(cache)) << "download " << i;
  }
  // No cache folder: nothing to purge, the download goes on.
  EXPECT_FALSE(Download(server.Url("/ok")));
  EXPECT_EQ(server.Requests().size(), 3u);
}

TEST(DownloadServiceTest, StepsOnTheFakePlatform) {
  testing::FakePlatform fake;
  fake.AddFolder("C:\\Users\\amina\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE");
  fake.server["http://u/p"] = {"package", "3.1.0.12"};
  DownloadVariables vars;
  EXPECT_TRUE(DownloadFile(fake, vars, " http://u/p ", " C:\\Pellarion\\Pellarion.bin ").fetched);
  EXPECT_THAT(fake.log,
              ElementsAre("delete folder C:\\Users\\amina\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE",
                          "download http://u/p -> C:\\Pellarion\\Pellarion.bin.part",
                          "replace C:\\Pellarion\\Pellarion.bin.part -> C:\\Pellarion\\Pellarion.bin",
                          "mouse pointer"));
  EXPECT_EQ(vars.UserName, "amina");
  EXPECT_EQ(fake.File("C:\\Pellarion\\Pellarion.bin").contents, "package");

  // A partial body is removed and the failure told; a user name the
  // 200-character buffer cannot hold leaves UserName as it was.
  fake.log.clear();
  fake.userName = std::string(200, 'n');
  fake.partialBodies["http://u/q"] = "half";
  const DownloadOutcome failed = DownloadFile(fake, vars, "http://u/q", "C:\\Pellarion\\Pellarion.bin");
  EXPECT_FALSE(failed.fetched);
  EXPECT_THAT(failed.error, HasSubstr("connection closed early"));
  EXPECT_EQ(vars.UserName, "amina");
  EXPECT_FALSE(fake.HasFile("C:\\Pellarion\\Pellarion.bin.part"));
  EXPECT_EQ(fake.File("C:\\Pellarion\\Pellarion.bin").contents, "package");
  EXPECT_EQ(fake.log.back(), "mouse pointer");
}

}  // namespace
}  // namespace pellarion
