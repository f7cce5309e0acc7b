// Putting a new application in place of the running one: stopped, swapped,
// started again, with a record beside the updater while it is stopped.
#include "app/ProcessTermination.h"
#include "app/UpdateRun.h"
#include "gate/ContinueOnError.h"

namespace pellarion {

bool UpdateRun::InstallApplication(const std::string& staged, WindowState restartState) {
  const std::string application = InAppDir("\\Pellarion.exe");
  Try([&] { platform_.AppendToFile(StoppedRecord(), "stopped for an update at " + platform_.LocalTime() + "\r\n"); });
  const int stopped = KillRunningApp(platform_, application);
  Log("stopped " + std::to_string(stopped) + " running Pellarion.exe of this folder");
  if (Try([&] { platform_.MoveReplacing(staged, application); })) {
    Log("installed " + Shown(staged) + " as " + Shown(application));
    return true;
  }
  Log("could not install " + Shown(staged) + "; the old application stays");
  ShowFailure();
  Try([&] { platform_.RemoveFile(staged); });
  if (stopped > 0) {
    StartApplication(restartState);
  } else {
    Try([&] { platform_.RemoveFile(StoppedRecord()); });
  }
  return false;
}

void UpdateRun::StartApplication(WindowState state) {
  const std::string application = InAppDir("\\Pellarion.exe");
  if (!Try([&] { platform_.StartProgram(application, state); })) return;
  Log("started " + Shown(application));
  Try([&] { platform_.RemoveFile(StoppedRecord()); });
}

std::string UpdateRun::StoppedRecord() const { return InAppDir("\\Pellarion.stopped"); }

}  // namespace pellarion
