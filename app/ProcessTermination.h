// Stopping the running application before its executable is replaced.
#pragma once

#include <string>

namespace pellarion {

class Platform;

// How long KillRunningApp lets the application close by itself before it
// stops what is left, and how long it then waits for that, in all.
inline constexpr int kCloseWaitMs = 3000;
inline constexpr int kTerminationWaitMs = 5000;

// Stops the running copies of `application` (AppDir's Pellarion.exe): only
// processes whose executable is that very file, never a copy started from
// another folder or another user's installation. Each is first asked to
// close (its unsaved work may be saved), and what is left after
// kCloseWaitMs is stopped at once; then it waits until they have ended (at
// most kTerminationWaitMs), so the executable is no longer in use when the
// caller replaces it. A process that refuses stays running. Every step runs
// under the continue-on-error rule. Returns how many copies were running and
// have ended.
int KillRunningApp(Platform& platform, const std::string& application);

}  // namespace pellarion
