// Putting a new application in place of the running one: stopped, swapped,
// started again, with a record beside the updater while it is stopped.
#include "app/ProcessTermination.h"
#include "app/UpdateRun.h"
#include "gate/ContinueOnError.h"
#include "platform/Joined.h"

namespace pellarion {

bool UpdateRun::InstallApplication(const std::string& staged, WindowState restartState) {
  const std::string application = InAppDir("\\Pellarion.exe");
  // Without the record a run cut off from here on would leave the
  // workstation without its application: then nothing is stopped. (A record
  // that went in place before the failure goes again.)
  int stopped = 0;
  const auto record = [&] {
    platform_.WriteRecord(StoppedRecord(), Joined({"stopped for an update at ", platform_.LocalTime(), "\r\n"}));
  };
  if (Try(record)) {
    stopped = KillRunningApp(platform_, application);
    Log({"stopped ", std::to_string(stopped), " running Pellarion.exe of this folder"});
    if (PutInPlace(staged, application)) {
      Log({"installed ", Shown(staged), " as ", Shown(application)});
      return true;
    }
  }
  Log({"could not install ", Shown(staged), "; the old application stays"});
  ShowFailure();
  if (stopped > 0) {
    StartApplication(restartState);
  } else {
    RemoveStoppedRecord();
  }
  Try([&] { platform_.RemoveFile(staged); });
  return false;
}

void UpdateRun::StartApplication(WindowState state) {
  const std::string application = InAppDir("\\Pellarion.exe");
  if (!Try([&] { platform_.StartProgram(application, state); })) return;
  Log({"started ", Shown(application)});
  restarted_ = true;
  RemoveStoppedRecord();
}

void UpdateRun::RemoveStoppedRecord() {
  Try([&] { platform_.RemoveFile(StoppedRecord()); });
}

std::string UpdateRun::StoppedRecord() const { return InAppDir("\\Pellarion.stopped"); }

bool UpdateRun::PutInPlace(const std::string& staged, const std::string& target) {
  const std::unique_ptr<InputFile> accepted = std::move(accepted_);
  if (!accepted || !accepted->IsFileAt(staged)) {
    Log({Shown(staged), " is not the file the gate accepted"});
    return false;
  }
  return TryWhileInUse(staged, target);
}

}  // namespace pellarion
