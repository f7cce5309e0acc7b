// The lines of a web server's access log, as far as the fleet report needs
// them: who asked (address and User-Agent) and when. Two formats:
//   - the combined format of nginx and Apache:
//     127.0.0.1 - - [10/Oct/2026:13:55:36 +0200] "GET /update/update.txt HTTP/1.1" 200 52 "-" "agent"
//   - IIS's W3C extended format, whose "#Fields:" directive names the
//     columns (date and time in UTC, c-ip, cs(User-Agent) with '+' for
//     each space).
// A log may switch formats at a "#Fields:" line; lines before any are read
// as the combined format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellarion::publish {

struct LoggedRequest {
  std::string address;
  std::string agent;           // empty when the log has none ("-")
  std::int64_t utcSeconds = 0;  // since 1970-01-01 UTC
};

// Reads one log's lines in order; keeps the columns of the last "#Fields:".
class AccessLogLines {
 public:
  enum class Kind { Request, Directive, Malformed };
  // `line` without its line end. A request fills `request`; blank lines and
  // '#' directives are Directive; everything else that cannot be read,
  // Malformed.
  Kind Read(std::string_view line, LoggedRequest& request);

 private:
  Kind ReadW3c(std::string_view line, LoggedRequest& request) const;

  bool w3c_ = false;
  int date_ = -1, time_ = -1, address_ = -1, agent_ = -1;
  std::size_t columns_ = 0;
};

// What an updater's User-Agent says:
//   OsmerinPellarionUpdater/2.0.0.55 (Pellarion 3.1.0.12; Windows 10.0.19045; x86)
// Updaters older than that send only "OsmerinPellarionUpdater/2.0": their
// application is "unknown". A version that is not digits and dots reads as
// "unknown" too.
struct UpdaterAgent {
  std::string updater;      // "2.0.0.55"
  std::string application;  // "3.1.0.12", "none" (not installed) or "unknown"
  std::string system;       // "Windows 10.0.19045"; empty when not said
  std::string architecture; // "x86"; empty when not said
};
// Nothing when `agent` is not an updater's.
std::optional<UpdaterAgent> ParseUpdaterAgent(std::string_view agent);

}  // namespace pellarion::publish
