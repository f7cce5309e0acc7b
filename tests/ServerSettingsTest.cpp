// Where the updater looks: the list of servers a setting names, and which
// source names them (the machine's policy, the environment, the build), and
// how long a run may take.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Offer.h"
#include "tests/support/FakeRun.h"
#include "tests/support/FaultInjectingPlatform.h"
#include "versions/ServerList.h"

namespace pellarion {
namespace {

using ::testing::ElementsAreArray;
using Strings = std::vector<std::string>;

TEST(ServerSettingsTest, AListNamesServersInTheOrderWrittenAndSkipsWhatIsNoServer) {
  const struct {
    const char* text;
    Strings servers;
    const char* malformed;
  } cases[] = {
      {"updates.example", {"updates.example"}, ""},
      {" a.example:8080 ;\tHTTPS://b.example:8443/ ;; a.example:8080;", {"a.example:8080", "https://b.example:8443"},
       ""},
      {"[::1]:8443;http://[fe80::1];c_1.example:1;d:65535",
       {"[::1]:8443", "http://[fe80::1]", "c_1.example:1", "d:65535"}, ""},
      {"", {}, ""},
      {" ; ;", {}, ""},
      {"ftp://a;a:0;a:65536;a:;:80;http://;a/update;user@a;a b;[::1;[];[g::1];a:80x;https://a:8443/x;b", {"b"},
       "\"ftp://a\" \"a:0\" \"a:65536\" \"a:\" \":80\" \"http://\" \"a/update\" \"user@a\" \"a b\" \"[::1\" \"[]\" "
       "\"[g::1]\" \"a:80x\" \"https://a:8443/x\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ServerList list = ParseServerList(c.text);
    EXPECT_THAT(list.servers, ElementsAreArray(c.servers));
    EXPECT_EQ(list.malformed, c.malformed);
  }
}

// Whole runs against servers that each take 50 s to answer 404: the servers
// asked, in order, show which source named them and the run's deadline.
TEST(ServerSettingsTest, ThePolicyComesFirstThenTheEnvironmentThenTheBuild) {
  const std::string build = PELLARION_UPDATE_SCHEME "://" PELLARION_UPDATE_HOST;
  const std::string fromBuild = "the build: update servers " PELLARION_UPDATE_HOST;
  const std::string scheme = PELLARION_UPDATE_SCHEME "://";
  const struct {
    const char* name;
    const char* policyServers;   // nullptr: not set; "!": cannot be read
    const char* policyDeadline;  // nullptr: not set
    const char* environment;
    Strings asked;  // the servers whose manifest was asked, in order
    Strings notes;  // the run's log lines about its settings
  } cases[] = {
      {"nothing set", nullptr, nullptr, "", {build}, {fromBuild}},
      {"the environment", nullptr, nullptr, "127.0.0.1:8080", {scheme + "127.0.0.1:8080"},
       {"PELLARION_UPDATE_SERVER: update servers 127.0.0.1:8080"}},
      {"the policy over the environment", "https://a.example; b.example:8443", nullptr, "c.example",
       {"https://a.example", scheme + "b.example:8443"},
       {"the policy UpdateServers: update servers https://a.example b.example:8443"}},
      {"a policy that names no server", " ; ", nullptr, "c.example", {scheme + "c.example"},
       {"the policy UpdateServers: names no server", "PELLARION_UPDATE_SERVER: update servers c.example"}},
      {"every entry malformed, down to the build", "ftp://a;a b", nullptr, "/", {build},
       {"the policy UpdateServers: names no server; not a server, skipped: \"ftp://a\" \"a b\"",
        "PELLARION_UPDATE_SERVER: names no server; not a server, skipped: \"/\"", fromBuild}},
      {"one entry malformed", nullptr, nullptr, "x;bad/path;y", {scheme + "x", scheme + "y"},
       {"PELLARION_UPDATE_SERVER: update servers x y; not a server, skipped: \"bad/path\""}},
      {"a policy that cannot be read", "!", nullptr, "c.example", {scheme + "c.example"},
       {"skipped after a failure: injected failure", "PELLARION_UPDATE_SERVER: update servers c.example"}},
      {"the policy's deadline: no time for the third", nullptr, "90", "a;b;c", {scheme + "a", scheme + "b"},
       {"PELLARION_UPDATE_SERVER: update servers a b c", "the policy RunDeadlineSeconds 90 s: the run's deadline"}},
      {"a deadline too short stands for nothing", nullptr, "59", "a;b;c", {scheme + "a", scheme + "b", scheme + "c"},
       {"PELLARION_UPDATE_SERVER: update servers a b c",
        "the policy RunDeadlineSeconds 59 is not 60 to 86400 s: the build's deadline stands"}},
      {"a deadline too long", nullptr, "86401", "a", {scheme + "a"},
       {"PELLARION_UPDATE_SERVER: update servers a",
        "the policy RunDeadlineSeconds 86401 is not 60 to 86400 s: the build's deadline stands"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakePlatform fake;
    testing::FaultInjectingPlatform faults(fake);
    fake.AddFile(testing::kApp, "app 1.0.0.1", "1.0.0.1");
    fake.AddFile(testing::kDir + "format.dll");
    if (c.policyServers != nullptr && std::string(c.policyServers) == "!") {
      faults.Fail(testing::Op::PolicyValue, "UpdateServers");
    } else if (c.policyServers != nullptr) {
      fake.policies["UpdateServers"] = c.policyServers;
    }
    if (c.policyDeadline != nullptr) fake.policies["RunDeadlineSeconds"] = c.policyDeadline;
    Strings asked;
    fake.transport = [&](const TransferRequest& request, TransferSink& sink) {
      asked.push_back(request.url.substr(0, request.url.find("/update/")));
      fake.monotonicMs += 50000;
      sink.Head(testing::Answer(404));
    };
    testing::RunOnFake(faults, fake, c.environment);
    EXPECT_THAT(asked, ElementsAreArray(c.asked));
    // The lines between the mode and the first download.
    Strings notes;
    const Strings lines = testing::LogLines(fake, "");
    for (auto line = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("mode:", 0) == 0; });
         line != lines.end() && ++line != lines.end() && line->rfind("download", 0) != 0;) {
      notes.push_back(*line);
    }
    EXPECT_THAT(notes, ElementsAreArray(c.notes));
  }
}

TEST(ServerSettingsTest, EachServerGivesItsOwnThreeUrls) {
  const UpdateServer staging = UpdateServer::ForHost("127.0.0.1:8080");
  EXPECT_EQ(staging.UL, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/update.txt");
  EXPECT_EQ(staging.Upd, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/update.bin");
  EXPECT_EQ(staging.txtFrom, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/Pellarion.bin");
  // A server named with its scheme keeps it.
  EXPECT_EQ(UpdateServer::ForHost("https://127.0.0.1:8443").Upd, "https://127.0.0.1:8443/update/update.bin");
}

}  // namespace
}  // namespace pellarion
