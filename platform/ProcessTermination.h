// Stopping the running application before its executable is replaced.
#pragma once

namespace pellarion {

class Platform;

// The image name of the application's processes.
inline constexpr const char* kApplicationImage = "Pellarion.exe";
// How long KillRunningApp waits, in all, for the stopped processes to end.
inline constexpr int kTerminationWaitMs = 5000;

// Stops every running process whose image name is Pellarion.exe, wherever it
// was started from, in the order the system lists them, without asking the
// user. Then waits until they have ended (at most kTerminationWaitMs), so the
// executable is no longer in use when the caller replaces it. A process that
// refuses stays running. Every step runs under the continue-on-error rule.
// Returns how many processes it stopped.
int KillRunningApp(Platform& platform);

}  // namespace pellarion
