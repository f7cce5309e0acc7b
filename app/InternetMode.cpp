// The update from the update server: the manifest names the versions on
// offer; a newer application is downloaded, checked, swapped in and started,
// and the updater stages a newer copy of itself.
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "download/DownloadService.h"
#include "platform/ContinueOnError.h"
#include "versions/Manifest.h"

namespace pellarion {

namespace {

constexpr int kApplicationKey = 1;
constexpr int kUpdaterKey = 3;

}  // namespace

void UpdateRun::InternetMode() {
  const std::string application = InAppDir("\\Pellarion.exe");
  const std::string manifest = InAppDir("\\update.txt");
  const std::string package = InAppDir("\\Pellarion.bin");

  form_.SetFieldText(Field::CU, "0");
  form_.SetFieldText(Field::NU, "0");
  Try([&] { form_.SetFieldText(Field::CU, VersionDigitsOf(platform_, application)); });
  Pump();
  Pump();
  Try([&] { platform_.RemoveFile(manifest); });
  Pump();
  form_.SetFieldText(Field::txtTo, application);
  Pump();
  DownloadFile(platform_, form_, form_.GetFieldText(Field::UL), manifest);
  Pump();
  ReadOfferedVersion(kApplicationKey);

  if (IsNewer(form_.GetFieldText(Field::NU), form_.GetFieldText(Field::CU))) {
    SetStatus(kGreen, messages::kDownloading);
    // A package left by an earlier run must never be taken for this one's.
    Try([&] { platform_.RemoveFile(package); });
    DownloadFile(platform_, form_, form_.GetFieldText(Field::txtFrom), package);
    Pump();
    // The running application is stopped only when there is a package to
    // install, and started again when the swap fails.
    if (TestExists(package) && AcceptPackage(package) &&
        InstallApplication(package, WindowState::Minimised)) {
      SetStatus(messages::kUpdated);
      Try([&] { platform_.Pause(3000); });
      Pump();
      Try([&] { platform_.StartProgram(application, WindowState::Minimised); });
      Pump();
      CheckUpdaterOnline();
      Pump();
      EndRun();
    }
    // No package installed: the window stays open with the last status.
    Try([&] { platform_.Pause(2500); });
    return;
  }

  if (!TestExists(manifest)) {
    SetStatus(kRed, messages::kCheckFailed);
    Pump();
    Try([&] { platform_.Pause(3000); });
    Pump();
    EndRun();
  }
  CheckUpdaterOnline();
  SetStatus(kGreen, messages::kUpToDate);
  Pump();
  Try([&] { platform_.Pause(3000); });
  EndRun();
}

void UpdateRun::CheckUpdaterOnline() {
  const std::string staged = InAppDir("\\update.bin");
  form_.SetFieldText(Field::CU, "0");
  form_.SetFieldText(Field::NU, "0");
  Try([&] { form_.SetFieldText(Field::CU, VersionDigitsOf(platform_, InAppDir("\\update.exe"))); });
  Pump();
  Pump();
  form_.SetFieldText(Field::txtTo, staged);
  Pump();
  ReadOfferedVersion(kUpdaterKey);
  if (!IsNewer(form_.GetFieldText(Field::NU), form_.GetFieldText(Field::CU))) return;

  SetStatus(messages::kDownloadingUpdater);
  const bool fetched = DownloadFile(platform_, form_, form_.GetFieldText(Field::Upd), staged);
  Pump();
  // Success only for a staged file that is an executable; otherwise the
  // failure text stays.
  if (fetched && AcceptPackage(staged)) SetStatus(messages::kUpdated);
}

bool UpdateRun::AcceptPackage(const std::string& package) {
  bool executable = false;
  Try([&] {
    executable = platform_.FileLength(package) > 0 && !platform_.GetFileVersion(package).empty();
  });
  if (executable) return true;
  Try([&] { platform_.RemoveFile(package); });
  SetStatus(messages::kUpdateFailed);
  return false;
}

void UpdateRun::ReadOfferedVersion(int key) {
  ReadManifestValue(platform_, InAppDir("\\update.txt"), key, form_);
  Pump();
  form_.SetFieldText(Field::NU, form_.ManifestValue);
  Pump();
}

}  // namespace pellarion
