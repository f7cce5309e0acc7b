// Where the run looks for updates and how long it may take. Each setting
// comes from the first source that sets it: the machine's policy (on
// Windows, what its administrators set by Group Policy), then the
// environment, then the build.
#include "app/UpdateRun.h"
#include "gate/ContinueOnError.h"
#include "versions/Decimal.h"
#include "versions/ServerList.h"

#if !defined(PELLARION_UPDATE_HOST) || !defined(PELLARION_RUN_DEADLINE_SECONDS)
#error "the build names its update servers and the run's deadline"
#endif

namespace pellarion {

namespace {

// A deadline an administrator sets: a minute at least, so that a run can
// fetch anything at all, a day at most, so that no run hangs on for days.
constexpr std::uint64_t kFewestSeconds = 60, kMostSeconds = 86400;

}  // namespace

void UpdateRun::ReadSettings() {
  if (!TakeServers(Policy("UpdateServers"), "the policy UpdateServers") &&
      !TakeServers(environmentServers_, "PELLARION_UPDATE_SERVER")) {
    TakeServers(PELLARION_UPDATE_HOST, "the build");
  }
  const std::string deadline = Policy("RunDeadlineSeconds");
  if (deadline.empty()) return;
  const auto seconds = ParseDecimal(deadline, 9);
  std::string line = "the policy RunDeadlineSeconds ";
  line += deadline;
  if (seconds && *seconds >= kFewestSeconds && *seconds <= kMostSeconds) {
    // Counted from the run's start, as the build's was.
    const std::int64_t longer = static_cast<std::int64_t>(*seconds) - PELLARION_RUN_DEADLINE_SECONDS;
    if (runDeadlineMs_ >= 0) runDeadlineMs_ += longer * 1000;
    line += " s: the run's deadline";
  } else {
    line += " is not 60 to 86400 s: the build's deadline stands";
  }
  Log(line);
}

std::string UpdateRun::Policy(const char* name) {
  // A value that is not set is expected and passes unnoticed; one that
  // cannot be read is written to the log by the continue-on-error rule.
  std::string value;
  Try([&] { value = platform_.PolicyValue(name); });
  return value;
}

bool UpdateRun::TakeServers(const std::string& text, const char* source) {
  if (text.empty()) return false;
  ServerList list = ParseServerList(text);
  std::string line = source;
  line += list.servers.empty() ? ": names no server" : ": update servers";
  for (const std::string& server : list.servers) {
    line += ' ';
    line += server;
  }
  if (!list.malformed.empty()) {
    line += "; not a server, skipped: ";
    line += list.malformed;
  }
  Log(line);
  if (list.servers.empty()) return false;
  servers_ = std::move(list.servers);
  return true;
}

}  // namespace pellarion
