// The update from the host computer's share: the application is compared with
// the share's copy and replaced when the share's is newer, then the updater is
// compared and, when newer, staged beside itself as update.bin.
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "platform/ContinueOnError.h"
#include "platform/ProcessTermination.h"
#include "versions/LineFile.h"
#include "versions/Versions.h"

namespace pellarion {

void UpdateRun::ShareMode() {
  // The application.
  const std::string staged = InAppDir("\\NewVersion.exe");
  std::string root = ShareRoot();
  const std::string shareApp = root.empty() ? "" : root + "\\Pellarion\\pellarion.exe";
  if (CompareVersions(InAppDir("\\pellarion.exe"), shareApp)) {
    Try([&] { form_.SetStatusText(messages::kNewVersion); });
    Try([&] { platform_.RemoveFile(staged); });
    Pump();
    bool copied = false;
    Try([&] {
      platform_.CopyFileTo(shareApp, staged);
      copied = true;
    });
    Pump();
    // The running application is stopped only once the new copy is here, and
    // only a copy this run made is installed (never one left by an earlier,
    // interrupted run).
    if (TestExists(staged) && copied && InstallApplication(staged)) {
      Try([&] { platform_.ShowMessage(messages::kUpdated, messages::kTitle); });
      Try([&] { platform_.StartProgram(InAppDir("\\Pellarion.exe"), WindowState::Normal); });
    }
  } else {
    Try([&] { form_.SetStatusText(messages::kNoNewVersion); });
  }

  // The updater: only staged, never put in place of the running update.exe.
  root = ShareRoot();
  const std::string shareUpdater = root.empty() ? "" : root + "\\Pellarion\\update.exe";
  if (CompareVersions(InAppDir("\\update.exe"), shareUpdater)) {
    Try([&] { form_.SetStatusText(messages::kLoadingUpdater); });
    Try([&] { platform_.RemoveFile(InAppDir("\\update.bin")); });
    Pump();
    Try([&] { platform_.CopyFileTo(shareUpdater, InAppDir("\\update.bin")); });
    Pump();
  } else {
    Try([&] { form_.SetStatusText(messages::kNoNewUpdater); });
  }
  EndRun();
}

std::string UpdateRun::ShareRoot() {
  std::string root;
  Try([&] { root = ReadFileLine(platform_, InAppDir("\\host.dll"), 1); });
  Pump();
  return root;
}

bool UpdateRun::CompareVersions(const std::string& installed, const std::string& available) {
  // Both sides start from "0": a value left by the previous comparison is
  // never compared again.
  form_.SetFieldText(Field::CU, "0");
  form_.SetFieldText(Field::NU, "0");
  Try([&] { form_.SetFieldText(Field::CU, VersionDigitsOf(platform_, installed)); });
  Pump();
  if (!available.empty()) {
    Try([&] { form_.SetFieldText(Field::NU, VersionDigitsOf(platform_, available)); });
  }
  Pump();
  return IsNewer(form_.GetFieldText(Field::NU), form_.GetFieldText(Field::CU));
}

bool UpdateRun::InstallApplication(const std::string& staged) {
  const std::string application = InAppDir("\\Pellarion.exe");
  const int stopped = KillRunningApp(platform_);
  bool installed = false;
  Try([&] {
    platform_.MoveReplacing(staged, application);
    installed = true;
  });
  Pump();
  if (installed) return true;
  Try([&] { form_.SetStatusText(messages::kUpdateFailed); });
  Try([&] { platform_.RemoveFile(staged); });
  if (stopped > 0) {
    Try([&] { platform_.StartProgram(application, WindowState::Normal); });
  }
  Pump();
  return false;
}

}  // namespace pellarion
