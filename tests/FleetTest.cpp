// The fleet report over access logs of nginx/Apache (combined) and IIS
// (W3C), plain and gzip, with the lines a real log holds besides updaters'.
#include <gtest/gtest.h>
#include <zlib.h>

#include <ctime>

#include "tests/support/Subprocess.h"
#include "tools/publish/Fleet.h"

namespace pellarion {
namespace {

using publish::FleetCounter;
using publish::FleetReport;
using publish::VersionCount;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;

const std::string kAgent55 = "OsmerinPellarionUpdater/2.0.0.55 (Pellarion 3.1.0.12; Windows 10.0.19045; x86)";
const std::string kAgent55Old = "OsmerinPellarionUpdater/2.0.0.55 (Pellarion 1.0.0.1; Windows 6.1.7601; x64)";
const std::string kAgent56 = "OsmerinPellarionUpdater/2.0.0.56 (Pellarion none; Linux 6.1.0; x86_64)";

void WriteGzip(const std::string& path, const std::string& text) {
  gzFile file = gzopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(gzwrite(file, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
  ASSERT_EQ(gzclose(file), Z_OK);
}

// "[10/Oct/2026:13:55:36 +0200]" of UTC seconds, written in UTC+2.
std::string CombinedTime(std::time_t utc) {
  const std::time_t local = utc + 2 * 3600;
  char text[64];
  std::strftime(text, sizeof text, "[%d/%b/%Y:%H:%M:%S +0200]", std::gmtime(&local));
  return text;
}

std::string CombinedLine(const std::string& address, std::time_t utc, const std::string& agent) {
  return address + " - - " + CombinedTime(utc) + " \"GET /update/update.txt HTTP/1.1\" 200 52 \"-\" \"" + agent +
         "\"\n";
}

std::string W3cLine(const std::string& address, std::time_t utc, std::string agent) {
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::gmtime(&utc));
  for (char& c : agent) {
    if (c == ' ') c = '+';
  }
  return std::string(when) + " 10.0.0.1 GET /update/update.txt - 80 - " + address + " " + agent + " - 200 0 0 15\r\n";
}

// A table of the report as (version, workstations) rows, to compare whole.
using Table = std::vector<std::pair<std::string, std::int64_t>>;
Table Rows(const std::vector<VersionCount>& counts) {
  Table rows;
  for (const auto& count : counts) rows.emplace_back(count.version, count.workstations);
  return rows;
}

const std::string kW3cHeader =
    "#Software: Microsoft Internet Information Services 10.0\r\n#Version: 1.0\r\n#Date: 2026-10-01 00:00:00\r\n"
    "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) "
    "cs(Referer) sc-status sc-substatus sc-win32-status time-taken\r\n";

// Three logs of one week, each with what else a log holds.
struct Logs {
  explicit Logs(std::time_t now) {
    const std::time_t hour = 3600, day = 24 * hour;
    WriteFile(dir / "access.log",
              CombinedLine("10.0.0.5", now - 2 * day, kAgent55) +
                  CombinedLine("10.0.0.5", now - day, kAgent55) +          // the same client again
                  CombinedLine("10.0.0.6", now - hour, kAgent55Old) +
                  CombinedLine("10.0.0.7", now - 8 * day, kAgent55) +      // before the window
                  CombinedLine("10.0.0.8", now - hour, "Mozilla/5.0 (X11; Linux x86_64)") +
                  CombinedLine("10.0.0.9", now - hour, "OsmerinPellarionUpdater/2.0") +  // an updater of before
                  "this is no log line\n" +
                  "10.0.0.5 - - [99/Foo/2026:13:55:36 +0200] \"GET / HTTP/1.1\" 200 1 \"-\" \"x\"\n" +
                  CombinedLine("10.0.0.10", now - hour, kAgent56).substr(0, 60) + "\n");  // cut short
    WriteFile(dir / "u_ex261010.log",
              kW3cHeader + W3cLine("10.0.1.1", now - hour, kAgent56) + W3cLine("10.0.1.2", now - hour, kAgent55) +
                  W3cLine("10.0.1.2", now - 3 * hour, kAgent55) + W3cLine("10.0.1.3", now - hour, "curl/8.4.0") +
                  "2026-10-10 12:00:00 10.0.0.1 GET\r\n");  // columns missing
    WriteGzip(dir / "access.log.2.gz", CombinedLine("10.0.0.5", now - 3 * day, kAgent56) +  // same address, new agent
                                           CombinedLine("10.0.2.1", now - 6 * day, kAgent55Old) + "\x01\x02garbage\n");
  }
  TempDir dir;
};

TEST(FleetTest, CountsDistinctWorkstationsPerVersionInTheThreeFormats) {
  const std::time_t now = 1791806400;  // 2026-10-12 12:00 UTC
  Logs logs(now);
  FleetCounter counter(7, now);
  for (const char* log : {"access.log", "u_ex261010.log", "access.log.2.gz"}) {
    publish::ReadAccessLog(logs.dir / log, counter);
  }
  const FleetReport report = counter.Report();
  // 10.0.0.5 twice on Windows and once on Linux, .6, .9, and 10.0.1.1,
  // 10.0.1.2 (twice), 10.0.2.1.
  EXPECT_EQ(report.workstations, 7);
  EXPECT_EQ(report.requests, 9);
  EXPECT_EQ(report.malformed, 5);
  EXPECT_EQ(report.otherAgents, 2);
  EXPECT_EQ(report.older, 1);
  EXPECT_EQ(Rows(report.applications), (Table{{"3.1.0.12", 2}, {"1.0.0.1", 2}, {"none", 2}, {"unknown", 1}}));
  EXPECT_EQ(Rows(report.updaters), (Table{{"2.0.0.56", 2}, {"2.0.0.55", 4}, {"2.0", 1}}));
}

// A workstation that updated twice in the window, its requests read out of
// order (the rotated log after the current one), counts once, at its latest
// versions; another system behind the same address is another workstation.
TEST(FleetTest, AWorkstationOverThreeVersionsCountsOnceAtItsLatest) {
  const std::time_t now = 1791806400, day = 24 * 3600;
  const auto agent = [](const std::string& updater, const std::string& application) {
    return "OsmerinPellarionUpdater/" + updater + " (Pellarion " + application + "; Windows 10.0.19045; x64)";
  };
  const std::string lines[] = {
      CombinedLine("10.0.3.1", now - day, agent("2.0.0.56", "3.1.0.12")),
      CombinedLine("10.0.3.1", now - 3 * day, agent("2.0.0.55", "1.0.0.1")),
      CombinedLine("10.0.3.1", now - 2 * day, agent("2.0.0.55", "3.1.0.11")),
      CombinedLine("10.0.3.1", now - 2 * day, kAgent56),
  };
  FleetCounter counter(7, now);
  for (const auto& line : lines) {
    publish::AccessLogLines log;
    counter.AddLine(log, std::string_view(line).substr(0, line.size() - 1));
  }
  const FleetReport report = counter.Report();
  EXPECT_EQ(report.workstations, 2);
  EXPECT_EQ(report.requests, 4);
  EXPECT_EQ(Rows(report.applications), (Table{{"3.1.0.12", 1}, {"none", 1}}));
  EXPECT_EQ(Rows(report.updaters), (Table{{"2.0.0.56", 2}}));
}

TEST(FleetTest, ALogPatternNamesTheFilesThatMatchIt) {
  const struct {
    const char* name;
    const char* pattern;
    bool matches;
  } cases[] = {
      {"access.log.2.gz", "access.log.*.gz", true}, {"access.log", "access.log.*.gz", false},
      {"u_ex261010.log", "U_EX*.LOG", true},        {"u_ex261010.log", "u_ex26101?.log", true},
      {"u_ex26101.log", "u_ex26101?.log", false},   {"b.log", "[abc].log", true},
      {"d.log", "[a-c].log", false},                {"d.log", "[!a-c].log", true},
      {"\xd8\xb3.log", "?.log", true},              {"abc", "a**b*c*", true},
      {"ab", "a*b*c", false},                       {"[a.log", "[a.log", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(publish::MatchesPattern(c.name, c.pattern), c.matches) << c.name << " " << c.pattern;
  }
}

TEST(FleetTest, ReadsWhatUpdatersSayInTheirUserAgent) {
  struct Case {
    std::string agent;
    bool updater;
    std::string version, application, system, architecture;
  } cases[] = {
      {kAgent55, true, "2.0.0.55", "3.1.0.12", "Windows 10.0.19045", "x86"},
      {kAgent56, true, "2.0.0.56", "none", "Linux 6.1.0", "x86_64"},
      {"OsmerinPellarionUpdater/2.0", true, "2.0", "unknown", "", ""},
      {"OsmerinPellarionUpdater/2.0.0.55 (Pellarion 3.1.0.12\x1b[2K; Windows; x86)", true, "2.0.0.55", "unknown",
       "Windows", "x86"},
      {"OsmerinPellarionUpdater/2..0 (Pellarion 3.1; Windows)", true, "unknown", "unknown", "", ""},
      {"Mozilla/5.0 OsmerinPellarionUpdater/2.0.0.55", false, "", "", "", ""},
      {"", false, "", "", "", ""},
  };
  for (const Case& c : cases) {
    const auto parsed = publish::ParseUpdaterAgent(c.agent);
    ASSERT_EQ(parsed.has_value(), c.updater) << c.agent;
    if (!parsed) continue;
    EXPECT_EQ(parsed->updater, c.version) << c.agent;
    EXPECT_EQ(parsed->application, c.application) << c.agent;
    EXPECT_EQ(parsed->system, c.system) << c.agent;
    EXPECT_EQ(parsed->architecture, c.architecture) << c.agent;
  }
}

TEST(FleetTest, CommandPrintsSharesDrawsTheChartAndSurvivesABadLog) {
  const std::time_t now = std::time(nullptr);
  Logs logs(now);
  // A gzip log cut short, of clients the other logs name too: what comes
  // before the cut is read.
  std::string repeated;
  for (int i = 0; i < 2000; ++i) repeated += CombinedLine("10.0.0.5", now - 3600, kAgent55);
  WriteGzip(logs.dir / "whole.gz", repeated);
  const std::string whole = ReadFile(logs.dir / "whole.gz");
  WriteFile(logs.dir / "cut.gz", whole.substr(0, whole.size() / 2));
  // The rotated logs as a pattern the shell passed on (or Windows does), and
  // one that matches nothing yet.
  const auto run = RunProgram({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", PUBLISH_EXE, "fleet", "--svg",
                               logs.dir / "fleet.svg", logs.dir / "access.log", logs.dir / "u_ex261010.log",
                               logs.dir / "access.log.*.gz", logs.dir / "error.log.*.gz", logs.dir / "cut.gz",
                               logs.dir / "missing.log"});
  // The report stands; the two unreadable logs are named and fail the run.
  EXPECT_EQ(run.exitCode, 1) << run.output;
  for (const std::string& expected : std::vector<std::string>{"7 workstations, ", "5 malformed lines skipped",
        "  3.1.0.12                      2   28.6 %", "  2.0.0.55                      4   57.1 %",
        "note: no log matches " + logs.dir / "error.log.*.gz; skipped",
        "cut.gz: the compressed data ends early", "cannot open the log " + logs.dir / "missing.log"}) {
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
  }
  const std::string svg = ReadFile(logs.dir / "fleet.svg");
  EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_NE(svg.find(">2.0.0.56</text>"), std::string::npos);
  // A person opens it: it must render.
  EXPECT_EQ(RunProgram({"rsvg-convert", "-o", logs.dir / "fleet.png", logs.dir / "fleet.svg"}).exitCode, 0);
  EXPECT_EQ(ReadFile(logs.dir / "fleet.png").substr(1, 3), "PNG");

  const auto wrongDays =
      RunProgram({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", PUBLISH_EXE, "fleet", "--days", "0", logs.dir / "access.log"});
  EXPECT_EQ(wrongDays.exitCode, 2);
}

}  // namespace
}  // namespace pellarion
