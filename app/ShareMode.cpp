// The update from the host computer's share: the application is compared with
// the share's copy and replaced when the share's is newer, then the updater is
// compared and, when newer, staged beside itself as update.bin.
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "gate/ContinueOnError.h"
#include "gate/Files.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

namespace {

// `name` in the share's Pellarion folder; nothing without a share root.
std::string ShareFile(const std::string& root, const char* name) {
  return root.empty() ? "" : root + "\\Pellarion\\" + name;
}

}  // namespace

RunEnd UpdateRun::ShareMode(Offer& offer) {
  const std::string root = ShareRoot();
  // A keyed updater takes nothing from a share without a valid signed
  // release beside the files.
  if (Keyed() && !AcceptRelease(ShareFile(root, "update.txt"))) return {Outcome::CheckFailed};
  const Outcome application = ShareApplication(offer, root);
  if (application == Outcome::OutOfTime) return {application};
  // When the application could not be brought up to date (the share out of
  // reach, a copy that failed or was refused), that failure is the run's
  // last word, after the updater's check.
  return {Worse(application, ShareUpdater(offer, ShareRoot()))};
}

Outcome UpdateRun::ShareApplication(Offer& offer, const std::string& root) {
  const std::string source = ShareFile(root, "pellarion.exe"), staged = InAppDir("\\NewVersion.exe");
  bool reached = false;
  if (!CompareVersions(offer, InAppDir("\\pellarion.exe"), source, &reached)) {
    Show(messages::kNoNewVersion);
    if (reached) return Outcome::UpToDate;
    Log(root.empty() ? "no share: host.dll is missing, unreadable or names none"
                     : "the share cannot be reached: cannot read " + Shown(source));
    return Outcome::CheckFailed;
  }
  Show(messages::kNewVersion);
  Try([&] { platform_.RemoveFile(staged); });
  if (OutOfTime()) return Outcome::OutOfTime;
  // The running application is stopped only once the new copy is here, and
  // only a copy this run made is installed (never one left by an earlier,
  // interrupted run).
  if (!CopyFromShare(source, staged) || !TestExists(staged)) {
    ShowFailure();
    return Outcome::UpdateFailed;
  }
  if (!AcceptCopy(offer, staged, source, PackageRole::Application, InAppDir("\\pellarion.exe"))) {
    return Outcome::Refused;
  }
  if (!InstallApplication(staged, WindowState::Normal)) return Outcome::UpdateFailed;
  Try([&] { platform_.ShowMessage(messages::kUpdated, messages::kTitle); });
  StartApplication(WindowState::Normal);
  return Outcome::Updated;
}

Outcome UpdateRun::ShareUpdater(Offer& offer, const std::string& root) {
  const std::string source = ShareFile(root, "update.exe"), staged = InAppDir("\\update.bin");
  if (!CompareVersions(offer, InAppDir("\\update.exe"), source)) {
    Show(messages::kNoNewUpdater);
    return Outcome::UpToDate;
  }
  Show(messages::kLoadingUpdater);
  Try([&] { platform_.RemoveFile(staged); });
  if (OutOfTime()) return Outcome::OutOfTime;
  // Staged only once the gate has accepted the copy.
  const std::string arriving = staged + kDownloadSuffix;
  if (!CopyFromShare(source, arriving)) {
    ShowFailure();
    return Outcome::UpdateFailed;
  }
  if (!AcceptCopy(offer, arriving, source, PackageRole::Updater, InAppDir("\\update.exe"))) return Outcome::Refused;
  if (Try([&] { platform_.MoveReplacing(arriving, staged); })) return Outcome::Updated;
  Try([&] { platform_.RemoveFile(arriving); });
  ShowFailure();
  return Outcome::UpdateFailed;
}

bool UpdateRun::CopyFromShare(const std::string& source, const std::string& copy) {
  std::int64_t length = 0;
  if (Try([&] { length = platform_.FileLength(source); }) && HasRoomFor(copy, length) &&
      Try([&] { platform_.CopyFileTo(source, copy); })) {
    return true;
  }
  Log("could not copy " + Shown(source));
  return false;
}

bool UpdateRun::AcceptCopy(const Offer& offer, const std::string& copy, const std::string& source, PackageRole role,
                           const std::string& installed) {
  if (Accepted(Shown(source), Gate(offer, copy, role, installed))) return true;
  Try([&] { platform_.RemoveFile(copy); });
  ShowFailure();
  return false;
}

std::string UpdateRun::ShareRoot() {
  std::string root;
  Try([&] { root = ReadFileLine(platform_, InAppDir("\\host.dll"), 1); });
  return root;
}

}  // namespace pellarion
