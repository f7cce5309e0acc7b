// One whole update run on the in-memory platform (or a wrapper of it), as
// main makes it, and what the tests look at afterwards.
#pragma once

#include <string>
#include <vector>

#include "app/ExitCodes.h"
#include "tests/support/FakePlatform.h"

namespace pellarion::testing {

struct FakeRunResult {
  RunEnd end;
  StatusLine status;  // the window's last status line
  // The fake's log after the start-up's searching text, without the mouse
  // pointer resets, and each stop of the application (KillRunningApp's own
  // test covers its steps) as one entry "stop".
  std::vector<std::string> after;
};

// The application folder of the fake, and entries of its log.
inline const std::string kDir = "C:\\Pellarion\\";
inline const std::string kApp = kDir + "Pellarion.exe";
inline const std::string kRecordCleared = "delete " + kDir + "Pellarion.stopped";
inline std::string Status(const char* colour, const char* text) { return std::string("status ") + colour + " " + text; }

// Runs the updater against the servers `host` names ("u": http://u; "a;b":
// http://a, then http://b), as PELLARION_UPDATE_SERVER would, with
// `publisherKey` (empty: an unkeyed build) on `platform`, whose log is
// `fake`'s.
FakeRunResult RunOnFake(Platform& platform, const FakePlatform& fake, const std::string& host = "u",
                        const std::string& publisherKey = "");

// The lines of the fake's update.log that contain `part`.
std::vector<std::string> LogLines(const FakePlatform& fake, const std::string& part,
                                  const std::string& log = "C:\\Pellarion\\update.log");

}  // namespace pellarion::testing
