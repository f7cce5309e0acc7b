// The update from the update server: the manifest names the versions on
// offer; a newer application is downloaded, checked, swapped in and started,
// and the updater stages a newer copy of itself.
#include "app/Files.h"
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "app/ContinueOnError.h"
#include "versions/Manifest.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

constexpr int kApplicationKey = 1;
constexpr int kUpdaterKey = 3;

}  // namespace

void UpdateRun::InternetMode() {
  const std::string manifest = InAppDir("\\update.txt");
  ReadInstalledVersion(InAppDir("\\Pellarion.exe"));
  Pump();
  Try([&] { platform_.RemoveFile(manifest); });
  Pump();
  form_.SetFieldText(Field::txtTo, InAppDir("\\Pellarion.exe"));
  Pump();
  Download(Field::UL, manifest, Limits(kMaxManifestBytes));
  Pump();
  ReadOfferedVersion(kApplicationKey);
  // No manifest, or one that offers no version (an error page served as a
  // success, garbage): the check failed; it must not read as up to date.
  if (!IsVersionDigits(form_.GetFieldText(Field::NU))) {
    Log("the manifest offers no version (\"" + form_.GetFieldText(Field::NU) + "\")");
    EndCheckFailed();
  }
  // A keyed updater trusts the offer only through the signed release.
  if (!publisherKey_.empty() && !AcceptRelease(manifest)) EndCheckFailed();

  if (OfferIsNewer()) return UpdateApplicationOnline();
  CheckUpdaterOnline();
  SetStatus(kGreen, messages::kUpToDate);
  Pump();
  Pause(3000);
  EndRun();
}

void UpdateRun::EndCheckFailed() {
  SetStatus(kRed, messages::kCheckFailed);
  Outcome(ExitCode::CheckFailed);
  Pump();
  Pause(3000);
  Pump();
  EndRun();
}

void UpdateRun::UpdateApplicationOnline() {
  const std::string package = InAppDir("\\Pellarion.bin");
  SetStatus(kGreen, messages::kDownloading);
  // A package left by an earlier run must never be taken for this one's.
  Try([&] { platform_.RemoveFile(package); });
  DownloadPackage(Field::txtFrom, package, PackageRole::Application, InAppDir("\\Pellarion.exe"));
  Pump();
  // The running application is stopped only when there is an accepted
  // package to install, and started again when the swap fails.
  if (!TestExists(package) || !InstallApplication(package, WindowState::Minimised)) {
    Pause(2500);  // the window stays open with the last status
    Log("the window stays open: " + form_.Status().text);
    return;
  }
  SetStatus(messages::kUpdated);
  Outcome(ExitCode::Updated);
  Pause(3000);
  Pump();
  StartApplication(WindowState::Minimised);
  Pump();
  CheckUpdaterOnline();
  Pump();
  EndRun();
}

void UpdateRun::CheckUpdaterOnline() {
  const std::string staged = InAppDir("\\update.bin");
  ReadInstalledVersion(InAppDir("\\update.exe"));
  Pump();
  form_.SetFieldText(Field::txtTo, staged);
  Pump();
  ReadOfferedVersion(kUpdaterKey);
  if (!OfferIsNewer()) return;
  // An updater staged by an earlier run that is already the offered one and
  // passes the gate is not fetched again. A staged file the gate refuses is
  // no refusal of this run's offer: it is simply replaced.
  if (TestExists(staged)) {
    const ExitCode before = outcome_;
    const bool ready = Gate(staged, staged, PackageRole::Updater, InAppDir("\\update.exe")).accepted;
    outcome_ = before;
    if (ready) {
      Log("update.bin is the offered updater already");
      return;
    }
  }

  SetStatus(messages::kDownloadingUpdater);
  const bool fetched = DownloadPackage(Field::Upd, staged, PackageRole::Updater, InAppDir("\\update.exe"));
  Pump();
  // Success only for a staged updater the gate accepted; otherwise the
  // failure text stays.
  if (fetched) {
    SetStatus(messages::kUpdated);
    Outcome(ExitCode::Updated);
  }
}

void UpdateRun::ReadOfferedVersion(int key) {
  // A manifest that cannot be read offers nothing; the line kept from an
  // earlier read is not looked at again.
  form_.ManifestValue.clear();
  std::string line;
  if (Try([&] { line = ReadFileLine(platform_, InAppDir("\\update.txt"), static_cast<std::int16_t>(key)); })) {
    TakeManifestLine(line, key, form_);
  }
  Pump();
  form_.SetFieldText(Field::NU, form_.ManifestValue);
  Pump();
}

}  // namespace pellarion
