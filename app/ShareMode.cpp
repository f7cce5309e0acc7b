// The update from the host computer's share: the application is compared with
// the share's copy and replaced when the share's is newer, then the updater is
// compared and, when newer, staged beside itself as update.bin.
#include <optional>

#include "app/Files.h"
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "app/ContinueOnError.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

void UpdateRun::ShareMode() {
  // The application. When it could not be brought up to date (the share out
  // of reach, a copy that failed or was refused) that failure is the run's
  // last word, after the updater's check.
  std::optional<ExitCode> applicationFailed;
  const std::string staged = InAppDir("\\NewVersion.exe");
  std::string root = ShareRoot();
  // A keyed updater takes nothing from a share without a valid signed
  // release beside the files.
  if (!publisherKey_.empty() && !AcceptRelease(root.empty() ? "" : root + "\\Pellarion\\update.txt")) {
    ShowFailure(ExitCode::CheckFailed);
    EndRun();
  }
  const std::string shareApp = root.empty() ? "" : root + "\\Pellarion\\pellarion.exe";
  bool reached = false;
  if (CompareVersions(InAppDir("\\pellarion.exe"), shareApp, &reached)) {
    SetStatus(messages::kNewVersion);
    Try([&] { platform_.RemoveFile(staged); });
    Pump();
    EndIfOutOfTime();
    std::int64_t length = 0;
    const bool copied = Try([&] { length = platform_.FileLength(shareApp); }) && HasRoomFor(staged, length) &&
                        Try([&] { platform_.CopyFileTo(shareApp, staged); });
    Pump();
    // The running application is stopped only once the new copy is here, and
    // only a copy this run made is installed (never one left by an earlier,
    // interrupted run).
    if (!TestExists(staged) || !copied) {
      Log("could not copy " + Shown(shareApp));
      ShowFailure(ExitCode::UpdateFailed);
      applicationFailed = ExitCode::UpdateFailed;
    } else if (!AcceptCopy(staged, shareApp, PackageRole::Application, InAppDir("\\pellarion.exe"))) {
      applicationFailed = ExitCode::Refused;
    } else if (!InstallApplication(staged, WindowState::Normal)) {
      applicationFailed = ExitCode::UpdateFailed;
    } else {
      Outcome(ExitCode::Updated);
      Try([&] { platform_.ShowMessage(messages::kUpdated, messages::kTitle); });
      StartApplication(WindowState::Normal);
    }
  } else {
    SetStatus(messages::kNoNewVersion);
  }
  if (!reached) {
    Log(root.empty() ? "no share: host.dll is missing, unreadable or names none"
                     : "the share cannot be reached: cannot read " + shareApp);
    Outcome(ExitCode::CheckFailed);
    applicationFailed = ExitCode::CheckFailed;
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
    EndIfOutOfTime();
    std::int64_t length = 0;
    if (!Try([&] { length = platform_.FileLength(shareUpdater); }) || !HasRoomFor(arriving, length) ||
        !Try([&] { platform_.CopyFileTo(shareUpdater, arriving); })) {
      Log("could not copy " + Shown(shareUpdater));
      ShowFailure(ExitCode::UpdateFailed);
    } else if (AcceptCopy(arriving, shareUpdater, PackageRole::Updater, InAppDir("\\update.exe"))) {
      if (Try([&] { platform_.MoveReplacing(arriving, InAppDir("\\update.bin")); })) {
        Outcome(ExitCode::Updated);
      } else {
        Try([&] { platform_.RemoveFile(arriving); });
        ShowFailure(ExitCode::UpdateFailed);
      }
    }
    Pump();
  } else {
    SetStatus(messages::kNoNewUpdater);
  }
  if (applicationFailed) ShowFailure(*applicationFailed);
  EndRun();
}

std::string UpdateRun::ShareRoot() {
  std::string root;
  Try([&] { root = ReadFileLine(platform_, InAppDir("\\host.dll"), 1); });
  Pump();
  return root;
}

}  // namespace pellarion
