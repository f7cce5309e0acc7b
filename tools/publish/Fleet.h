// The fleet as the update server's access logs show it: which versions of
// the application and of the updater the workstations that asked in the
// last days run. Every updater names both in its User-Agent; a client is one
// address with one User-Agent.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/publish/AccessLog.h"

namespace pellarion::publish {

struct VersionCount {
  std::string version;  // "3.1.0.12", "none" or "unknown"
  std::int64_t clients = 0;
};

struct FleetReport {
  int days = 7;
  std::int64_t from = 0, to = 0;  // the window, UTC seconds
  std::int64_t clients = 0;       // distinct address and User-Agent pairs
  std::int64_t requests = 0;      // updaters' requests in the window
  std::int64_t lines = 0;         // all lines read
  std::int64_t malformed = 0;     // lines that are no request of either format
  std::int64_t otherAgents = 0;   // requests in the window from other programs
  std::int64_t older = 0;         // updaters' requests before the window
  // Highest version first; "none" and "unknown" last.
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
  std::int64_t lines_ = 0, malformed_ = 0, otherAgents_ = 0, older_ = 0, requests_ = 0;
  std::set<std::pair<std::string, std::string>> clients_;  // address, agent
};

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
