// The update from the host computer's share: the application is compared with
// the share's copy and replaced when the share's is newer, then the updater is
// compared and, when newer, staged beside itself as update.bin.
#include "app/Files.h"
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "platform/ContinueOnError.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

void UpdateRun::ShareMode() {
  // The application.
  const std::string staged = InAppDir("\\NewVersion.exe");
  std::string root = ShareRoot();
  const std::string shareApp = root.empty() ? "" : root + "\\Pellarion\\pellarion.exe";
  if (CompareVersions(InAppDir("\\pellarion.exe"), shareApp)) {
    SetStatus(messages::kNewVersion);
    Try([&] { platform_.RemoveFile(staged); });
    Pump();
    const bool copied = Try([&] { platform_.CopyFileTo(shareApp, staged); });
    Pump();
    // The running application is stopped only once the new copy is here, and
    // only a copy this run made is installed (never one left by an earlier,
    // interrupted run).
    if (TestExists(staged) && copied && AcceptCopy(staged, shareApp) &&
        InstallApplication(staged, WindowState::Normal)) {
      Try([&] { platform_.ShowMessage(messages::kUpdated, messages::kTitle); });
      Start(InAppDir("\\Pellarion.exe"), WindowState::Normal);
    }
  } else {
    SetStatus(messages::kNoNewVersion);
  }

  // The updater: only staged, never put in place of the running update.exe.
  root = ShareRoot();
  const std::string shareUpdater = root.empty() ? "" : root + "\\Pellarion\\update.exe";
  if (CompareVersions(InAppDir("\\update.exe"), shareUpdater)) {
    SetStatus(messages::kLoadingUpdater);
    Try([&] { platform_.RemoveFile(InAppDir("\\update.bin")); });
    Pump();
    // Staged only once the gate has accepted the copy.
    const std::string arriving = InAppDir("\\update.bin") + kDownloadSuffix;
    if (Try([&] { platform_.CopyFileTo(shareUpdater, arriving); }) && AcceptCopy(arriving, shareUpdater) &&
        !Try([&] { platform_.MoveReplacing(arriving, InAppDir("\\update.bin")); })) {
      Try([&] { platform_.RemoveFile(arriving); });
    }
    Pump();
  } else {
    SetStatus(messages::kNoNewUpdater);
  }
  EndRun();
}

std::string UpdateRun::ShareRoot() {
  std::string root;
  Try([&] { root = ReadFileLine(platform_, InAppDir("\\host.dll"), 1); });
  Pump();
  return root;
}

}  // namespace pellarion
