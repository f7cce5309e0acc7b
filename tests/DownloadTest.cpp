// The download service against a real HTTP server on 127.0.0.1, and its
// steps on the in-memory platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "download/FileSink.h"
#include "download/ResumeRecord.h"
#include "download/clsDownload.h"
#include "platform/ForwardingPlatform.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::Exists;
using testing::ReadFile;
using testing::MakeTestCertificates;
using testing::TempDir;
using testing::TestCertificates;
using testing::TestHttpServer;
using testing::WriteFile;
namespace fs = std::filesystem;

// Sets an environment variable (or unsets it, for nullptr) for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The test authority and the loopback servers' certificate, made once.
const TestCertificates& Certificates() {
  static TempDir folder;
  static const TestCertificates certificates = MakeTestCertificates(folder.path());
  return certificates;
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() { ::setenv("PELLARION_DRIVE_C", (dir / "c").c_str(), 1); }
  ~DownloadTest() override { ::unsetenv("PELLARION_DRIVE_C"); }

  // clsDownload into dir/target, starting from an existing target; returns
  // whether it failed.
  bool Download(const std::string& url, const DownloadLimits& limits = {.connectSeconds = 2, .stallSeconds = 2}) {
    return !clsDownload(*platform, url, target, limits).Get_File();
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
      {"chunked body without its last chunk", server.Url("/chunked-cut"), false, ""},
      {"206 Partial Content", server.Url("/status/206"), false, ""},
      {"too many redirects", server.Url("/redirect/9"), false, ""},
      {"refused connection", "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) + "/ok", false, ""},
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

// Nothing arriving, or less than minBytesPerSecond, for stallSeconds.
TEST_F(DownloadTest, AStalledOrTricklingTransferGivesUpAfterTheStallLimit) {
  for (const char* path : {"/stall", "/trickle/1000000/5"}) {
    SCOPED_TRACE(path);
    WriteFile(target, "the installed package");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Download(server.Url(path), {.connectSeconds = 2, .stallSeconds = 2}));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(ReadFile(target), "the installed package");
    EXPECT_FALSE(Exists(target + ".part"));
  }
}

// The cap holds whether the server announces the length or not; an announced
// length above it is refused before a byte reaches the file. The cap is larger
// than the pieces the body is written in, so a refusal that came late shows.
TEST_F(DownloadTest, TheSizeCapHoldsWithAndWithoutALength) {
  constexpr long long kCap = 3 * 1024 * 1024 + 7;
  const std::string cap = std::to_string(kCap), over = std::to_string(kCap + 1);
  struct Case {
    std::string path;
    bool ok;
    long long maxFileSize;  // the file's size afterwards at most
  } cases[] = {
      {"/big/" + cap, true, kCap},        {"/unsized/" + cap, true, kCap},
      {"/big/" + over, false, 0},         {"/big/1073741824", false, 0},
      {"/unsized/" + over, false, kCap},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    // The transport and the sink alone, so that what reached the file shows.
    FileSink sink(*platform, target, {.maxBytes = kCap}, nullptr, nullptr);
    bool ok = true;
    try {
      platform->Transfer({.url = server.Url(c.path), .connectSeconds = 2}, sink);
    } catch (const std::exception&) {
      ok = false;
      sink.Keep();
    }
    EXPECT_EQ(ok, c.ok);
    const long long size = Exists(target) ? static_cast<long long>(fs::file_size(target)) : 0;
    if (c.ok) {
      EXPECT_EQ(size, kCap);
    } else {
      EXPECT_LE(size, c.maxFileSize);
    }
    fs::remove(target);
  }
}

// What the transport hands on from the head, as the retries and resumes use
// it: a busy server's Retry-After, a range asked with its validator, and a
// 206 for another range than asked, which is never joined to the kept bytes.
TEST_F(DownloadTest, BusyAnswersAndRangesPassThroughTheTransport) {
  const auto start = std::chrono::steady_clock::now();
  clsDownload busyDownload(*platform, server.Url("/busy/2/1"), target);
  busyDownload.Get_File();
  const DownloadOutcome& busy = busyDownload.Outcome();
  EXPECT_TRUE(busy.fetched) << busy.error;
  EXPECT_EQ(ReadFile(target), "hello, updater");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));  // twice Retry-After: 1
  EXPECT_THAT(busy.history, HasSubstr("503, the server is busy; again in 1 s. HTTP status 503"));

  const std::string url = server.Url("/wrong-range");
  WriteFile(target + ".part", std::string(60, 'k'));
  WriteFile(target + ".resume", ResumeRecordText({url, "", {60, "\"w\"", 100}}));
  clsDownload resumedDownload(*platform, url, target, {.resumable = true});
  resumedDownload.Get_File();
  const DownloadOutcome& resumed = resumedDownload.Outcome();
  EXPECT_TRUE(resumed.fetched) << resumed.error;
  EXPECT_EQ(ReadFile(target).substr(0, 12), "012345678901");
  EXPECT_THAT(server.Requests(), ElementsAre("/busy/2/1", "/busy/2/1", "/busy/2/1", "/wrong-range [bytes=60-]",
                                             "/wrong-range"));
  EXPECT_FALSE(Exists(target + ".part"));
  EXPECT_FALSE(Exists(target + ".resume"));
}

// HTTPS against a test authority that only PELLARION_CA_FILE makes trusted.
TEST_F(DownloadTest, HttpsTrustsTheSystemAndTheExtraAuthoritiesAndStaysOnHttps) {
  const TestCertificates& certificates = Certificates();
  TestHttpServer secure("", &certificates), secondSecure("", &certificates);
  const std::string missing = dir / "missing.pem", notPem = dir / "not.pem";
  WriteFile(notPem, "no certificate here\n");
  struct Case {
    const char* name;
    std::string url;
    const char* caFile;
    bool ok;
  } cases[] = {
      {"trusted through the extra authority", secure.Url("/ok"), certificates.authority.c_str(), true},
      {"by host name", "https://localhost:" + std::to_string(secure.port()) + "/ok",
       certificates.authority.c_str(), true},
      {"not trusted by the system alone", secure.Url("/ok"), nullptr, false},
      {"redirect to another https server", secure.Url("/to/" + secondSecure.Url("/ok")),
       certificates.authority.c_str(), true},
      {"redirect from https to http", secure.Url("/to/" + server.Url("/ok")), certificates.authority.c_str(),
       false},
      // A broken setting fails every download, plain http too, and says so.
      {"an extra authority file that is not there", server.Url("/ok"), missing.c_str(), false},
      {"an extra authority file without a certificate", server.Url("/ok"), notPem.c_str(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv ca("PELLARION_CA_FILE", c.caFile);
    WriteFile(target, "the installed package");
    EXPECT_EQ(Download(c.url), !c.ok);
    EXPECT_EQ(ReadFile(target), c.ok ? "hello, updater" : "the installed package");
  }
  // Neither the redirect nor a download despite the broken setting reached it.
  EXPECT_TRUE(server.Requests().empty()) << "the plain server was reached";
  EXPECT_THAT(secondSecure.Requests(), ElementsAre("/ok"));
}

// libcurl's proxy variables: through the proxy unless no_proxy names the host;
// https through the proxy's tunnel, the certificate checked end to end.
TEST_F(DownloadTest, TheProxyOfTheEnvironmentIsUsed) {
  TestHttpServer proxy, secure("", &Certificates());
  ScopedEnv httpProxy("http_proxy", proxy.Url("").c_str());
  ScopedEnv httpsProxy("https_proxy", proxy.Url("").c_str());
  ScopedEnv upperHttpsProxy("HTTPS_PROXY", nullptr);
  ScopedEnv allProxy("ALL_PROXY", nullptr);
  ScopedEnv lowerAllProxy("all_proxy", nullptr);
  {
    ScopedEnv noProxy("no_proxy", nullptr);
    ScopedEnv upperNoProxy("NO_PROXY", nullptr);
    EXPECT_FALSE(Download("http://updates.pellarion.invalid/ok"));
    EXPECT_EQ(ReadFile(target), "hello, updater");
    EXPECT_THAT(proxy.Requests(), ElementsAre("http://updates.pellarion.invalid/ok"));
  }
  {
    ScopedEnv noProxy("no_proxy", "127.0.0.1");
    EXPECT_FALSE(Download(server.Url("/ok")));
    EXPECT_THAT(server.Requests(), ElementsAre("/ok"));
    EXPECT_EQ(proxy.Requests().size(), 1u);
  }
  {
    ScopedEnv noProxy("no_proxy", nullptr);
    ScopedEnv upperNoProxy("NO_PROXY", nullptr);
    ScopedEnv ca("PELLARION_CA_FILE", Certificates().authority.c_str());
    fs::remove(target);
    EXPECT_FALSE(Download(secure.Url("/ok")));
    EXPECT_EQ(ReadFile(target), "hello, updater");
    EXPECT_EQ(proxy.Requests().back(), "CONNECT 127.0.0.1:" + std::to_string(secure.port()));
    EXPECT_THAT(secure.Requests(), ElementsAre("/ok"));
  }
}

TEST_F(DownloadTest, StepsOnTheFakePlatformAndTheirLine) {
  testing::FakePlatform fake;
  fake.server["http://u/p"] = {"package", "3.1.0.12"};
  clsDownload download(fake, " http://u/p ", " C:\\Pellarion\\Pellarion.bin ");
  EXPECT_TRUE(download.Get_File());
  EXPECT_THAT(fake.log, ElementsAre("download http://u/p -> C:\\Pellarion\\Pellarion.bin.part",
                                    "replace C:\\Pellarion\\Pellarion.bin.part -> C:\\Pellarion\\Pellarion.bin"));
  EXPECT_EQ(fake.File("C:\\Pellarion\\Pellarion.bin").contents, "package");
  EXPECT_THAT(download.Description(), ::testing::MatchesRegex("download http://u/p: HTTP 200, [0-9]+ bytes in "
                                                              "0\\.00 s, saved as C:.Pellarion.Pellarion\\.bin"));

  // A partial body is removed and the failure told.
  fake.log.clear();
  fake.partialBodies["http://u/q"] = "half";
  clsDownload failed(fake, "http://u/q", "C:\\Pellarion\\Pellarion.bin");
  EXPECT_FALSE(failed.Get_File());
  EXPECT_THAT(failed.Description(), HasSubstr("download http://u/q failed after 0.00 s: connection closed early"));
  EXPECT_FALSE(fake.HasFile("C:\\Pellarion\\Pellarion.bin.part"));
  EXPECT_EQ(fake.File("C:\\Pellarion\\Pellarion.bin").contents, "package");
}

// A share copy follows a download's rules (CopyUnderRules) on real files: a
// copy of this user alone, whatever the share's mode; the cap; the length as
// read at the start, past which a file that grows meanwhile is refused; the
// run's deadline. (The volume's reserve: ShareModeTest; a FIFO:
// ShareModeEndToEndTest.)
TEST_F(DownloadTest, AShareCopyFollowsTheRulesOfADownload) {
  // The source as a file that grows by `grownBy` bytes once its length is read.
  struct Growing : ForwardingPlatform {
    using ForwardingPlatform::ForwardingPlatform;
    std::uint64_t grownBy = 0;
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
      struct Grown : InputFile {
        std::unique_ptr<InputFile> file;
        std::uint64_t by = 0;
        std::size_t Read(char* b, std::size_t n) override { return file->Read(b, n); }
        std::uint64_t Size() override { return file->Size() - by; }
        std::size_t ReadAt(std::uint64_t at, char* b, std::size_t n) override { return file->ReadAt(at, b, n); }
        bool IsFileAt(const std::string& p) override { return file->IsFileAt(p); }
      };
      auto grown = std::make_unique<Grown>();
      grown->file = target_.OpenInput(path);
      grown->by = grownBy;
      return grown;
    }
  };
  const std::string source = dir / "share/pellarion.exe";
  std::string bytes(3 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 2654435761u >> 13);
  WriteFile(source, bytes, 0777);
  const struct Case {
    const char* name;
    std::int64_t maxBytes, runDeadlineMs;  // -1: none
    std::uint64_t grownBy;
    const char* failure;  // part of its text; empty: copied
  } cases[] = {
      {"whole", 1 << 30, -1, 0, ""},
      {"over the cap", 1 << 20, -1, 0, "more than the 1048576 bytes allowed"},
      {"grown after its length was read", 1 << 30, -1, 10, "bytes announced"},
      {"the run's time over", 1 << 30, 1, 0, "the run's time is over"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Growing share(*platform);
    share.grownBy = c.grownBy;
    WriteFile(target, "an earlier copy", 0666);
    std::string failure;
    try {
      CopyUnderRules(share, source, target, {.maxBytes = c.maxBytes, .runDeadlineMs = c.runDeadlineMs});
    } catch (const PlatformError& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure.empty(), *c.failure == '\0') << failure;
    EXPECT_THAT(failure, HasSubstr(c.failure));
    if (!failure.empty()) {
      EXPECT_FALSE(Exists(target));
      continue;
    }
    EXPECT_TRUE(ReadFile(target) == bytes);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
}

}  // namespace
}  // namespace pellarion
