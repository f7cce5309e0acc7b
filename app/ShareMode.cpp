// The update from the host computer's share: the application is compared with
// the share's copy and replaced when the share's is newer, then the updater is
// compared and, when newer, staged beside itself as update.bin.
#include <algorithm>

#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "download/FileSink.h"
#include "gate/ContinueOnError.h"
#include "gate/Files.h"
#include "platform/Joined.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

RunEnd UpdateRun::ShareMode(Offer& offer) {
  // The share's Pellarion folder, under the root that line 1 of host.dll
  // names; without one, no file of the share is named at all.
  std::string share;
  Try([&] { share = ReadFileLine(platform_, InAppDir("\\host.dll"), 1); });
  const auto file = [&](const char* name) { return share.empty() ? share : Joined({share, "\\Pellarion\\", name}); };
  // A keyed updater takes nothing from a share without a valid signed
  // release beside the files, and nothing from a release this workstation
  // does not take yet.
  if (Keyed() && !AcceptRelease(file("update.txt"), {kShareChannel, ""})) return {Outcome::CheckFailed};
  if (!InRollout()) {
    Show(messages::kNoNewVersion);
    Show(messages::kNoNewUpdater);
    return {Outcome::UpToDate};
  }
  const Outcome application = ShareApplication(offer, file("pellarion.exe"));
  if (application == Outcome::OutOfTime) return {application};
  // When the application could not be brought up to date (the share out of
  // reach, a copy that failed or was refused), that failure is the run's
  // last word, after the updater's check.
  return {Worse(application, ShareUpdater(offer, file("update.exe")))};
}

Outcome UpdateRun::ShareApplication(Offer& offer, const std::string& source) {
  const std::string staged = InAppDir("\\NewVersion.exe");
  bool reached = false;
  if (!CompareVersions(offer, InAppDir("\\pellarion.exe"), source, &reached)) {
    Show(messages::kNoNewVersion);
    if (reached) return Outcome::UpToDate;
    Log(source.empty() ? "no share: host.dll is missing, unreadable or names none"
                       : "the share cannot be reached: cannot read " + Shown(source));
    return Outcome::CheckFailed;
  }
  Show(messages::kNewVersion);
  TryWhileInUse(staged);
  // The running application is stopped only once the new copy is here and
  // accepted, and only a copy this run made is installed (never one left by
  // an earlier, interrupted run).
  const Outcome copied = CopyFromShare(offer, source, staged, PackageRole::Application, InAppDir("\\pellarion.exe"));
  if (copied != Outcome::Updated) return copied;
  if (!TestExists(staged) || !InstallApplication(staged, WindowState::Normal)) return Outcome::UpdateFailed;
  Try([&] { platform_.ShowMessage(messages::kUpdated, messages::kTitle); });
  StartApplication(WindowState::Normal);
  return Outcome::Updated;
}

Outcome UpdateRun::ShareUpdater(Offer& offer, const std::string& source) {
  const std::string staged = InAppDir("\\update.bin");
  if (!CompareVersions(offer, InAppDir("\\update.exe"), source)) {
    Show(messages::kNoNewUpdater);
    return Outcome::UpToDate;
  }
  Show(messages::kLoadingUpdater);
  TryWhileInUse(staged);
  // Staged only once the gate has accepted the copy.
  const std::string arriving = staged + kDownloadSuffix;
  const Outcome copied = CopyFromShare(offer, source, arriving, PackageRole::Updater, InAppDir("\\update.exe"));
  if (copied != Outcome::Updated || PutInPlace(arriving, staged)) return copied;
  Try([&] { platform_.RemoveFile(arriving); });
  ShowFailure();
  return Outcome::UpdateFailed;
}

Outcome UpdateRun::CopyFromShare(const Offer& offer, const std::string& source, const std::string& copy,
                                 PackageRole role, const std::string& installed) {
  // Once the run's time is over nothing more is copied, stopped or changed.
  DownloadLimits limits = Limits(kMaxPackageBytes);
  if (release_) limits.maxBytes = std::min<std::uint64_t>(release_->Entry(role).length, limits.maxBytes);
  if (!Try([&] { CopyUnderRules(platform_, source, copy, RulesOf(limits)); })) {  // the log says why not
    Log({"could not copy ", Shown(source)});
    ShowFailure();
    return TimeIsOver() ? Outcome::OutOfTime : Outcome::UpdateFailed;
  }
  if (Accepted(Shown(source), Gate(offer, copy, role, installed))) return Outcome::Updated;
  Try([&] { platform_.RemoveFile(copy); });
  ShowFailure();
  return Outcome::Refused;
}

}  // namespace pellarion
