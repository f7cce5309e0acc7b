// The fleet as the update server's access logs show it: which versions of
// the application and of the updater the workstations that asked in the
// last days run. Every updater names both in its User-Agent, beside the
// workstation's system and processor. A workstation is one address with one
// system and processor (the User-Agent without its two versions), counted
// once, at the versions of its latest request: one that updated within the
// window counts at its new versions only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/publish/AccessLog.h"

namespace pellarion::publish {

struct VersionCount {
  std::string version;  // "3.1.0.12", "none" or "unknown"
  std::int64_t workstations = 0;
};

struct FleetReport {
  int days = 7;
  std::int64_t from = 0, to = 0;  // the window, UTC seconds
  std::int64_t workstations = 0;  // distinct address, system and processor
  std::int64_t requests = 0;      // updaters' requests in the window
  std::int64_t lines = 0;         // all lines read
  std::int64_t malformed = 0;     // lines that are no request of either format
  std::int64_t otherAgents = 0;   // requests in the window from other programs
  std::int64_t older = 0;         // updaters' requests before the window
  // Each workstation at its latest versions, highest version first; "none"
  // and "unknown" last.
  std::vector<VersionCount> applications, updaters;
};

class FleetCounter {
 public:
  // Counts the requests from `now` - `days` days on.
  FleetCounter(int days, std::int64_t now);

  // One line of a log, without its line end, read by that log's `lines`.
  void AddLine(AccessLogLines& lines, std::string_view line);
  // A line longer than any request: malformed, never read.
  void AddOverlongLine() { ++lines_, ++malformed_; }
  FleetReport Report() const;

 private:
  int days_;
  std::int64_t now_;
  // What a workstation's latest request said.
  struct Latest {
    std::int64_t at = 0;  // UTC seconds
    std::string updater, application;
  };
  std::int64_t lines_ = 0, malformed_ = 0, otherAgents_ = 0, older_ = 0, requests_ = 0;
  // By address, and system and processor.
  std::map<std::pair<std::string, std::string>, Latest> workstations_;
};

// The logs a command-line argument names: the file itself; or, when no file
// has that name and its last part holds a wildcard (* ? [...]), the files of
// its folder whose names match, in name order. Windows hands a pattern on as
// it was typed, and a POSIX shell does when no file matches. Empty when a
// pattern matches no file.
std::vector<std::string> LogsNamedBy(const std::string& argument);

// True when the file name `name` matches `pattern`: * any run of
// characters, ? any one character, [set] one of the set (ranges a-z, ! or ^
// first for none of them), letters compared without regard to case as
// Windows compares file names.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// Reads the log at `path`, plain text or gzip (told by its first bytes), into
// `counter`. Fails (PublishError) when it cannot be opened; a read error or
// damaged compressed data after a while fails too, once the lines before it
// are counted.
void ReadAccessLog(const std::string& path, FleetCounter& counter);

// The report as text for a terminal, one table per kind of version.
std::string FleetText(const FleetReport& report);
// The same as an SVG bar chart.
std::string FleetSvg(const FleetReport& report);

}  // namespace pellarion::publish
