// The update from the update server: the manifest names the versions on
// offer; a newer application is downloaded, checked, swapped in and started,
// and the updater stages a newer copy of itself.
#include <algorithm>

#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "download/DeltaPatch.h"
#include "gate/ContinueOnError.h"
#include "gate/Files.h"
#include "platform/TemporaryFiles.h"
#include "versions/Manifest.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

constexpr int kApplicationKey = 1;
constexpr int kUpdaterKey = 3;

}  // namespace

RunEnd UpdateRun::InternetMode(Offer& offer) {
  // No server offered a version it may be trusted with: the check failed;
  // it must not read as up to date.
  if (!ChooseServer(offer)) {
    Show(kRed, messages::kCheckFailed);
    Wait(3000);
    return {Outcome::CheckFailed};
  }
  // A release this workstation does not take yet offers it nothing: neither
  // the application nor the updater.
  const bool drawn = InRollout();
  if (drawn && OfferIsNewer(offer)) return UpdateApplicationOnline(offer);
  const Outcome updater = drawn ? CheckUpdaterOnline(offer) : Outcome::UpToDate;
  if (updater == Outcome::OutOfTime) return {updater};
  // The application is current; an updater that could not be staged leaves
  // its failure text as the last word.
  if (!IsFailure(updater)) Show(kGreen, messages::kUpToDate);
  Wait(3000);
  return {Worse(Outcome::UpToDate, updater)};
}

bool UpdateRun::ChooseServer(Offer& offer) {
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    server_ = UpdateServer::ForHost(servers_[i]);
    offer.server = &server_;
    const bool last = i + 1 == servers_.size();
    // No manifest, or one that offers no version (an error page served as a
    // success, garbage), passes the server over. A keyed updater trusts the
    // offer only through the signed release. Packages come from the server
    // whose manifest was taken.
    if (FetchManifest(offer, last) &&
        (!Keyed() || AcceptRelease(InAppDir("\\update.txt"), ReadFromServer(server_.UL)))) {
      if (servers_.size() > 1) Log({"update server ", servers_[i], " taken"});
      return true;
    }
    if (last) break;
    // A server down for the whole fleet must not send the whole fleet to
    // the next one in the same second.
    const std::int64_t pause = BackoffMs(jitter_, 0);
    if (runDeadlineMs_ >= 0 && platform_.MonotonicMs() + pause >= runDeadlineMs_) break;
    Log({"update server ", servers_[i], " passed over; the next in ", std::to_string(pause / 1000), " s"});
    Wait(static_cast<int>(pause));
  }
  return false;
}

bool UpdateRun::FetchManifest(Offer& offer, bool last) {
  const std::string manifest = InAppDir("\\update.txt");
  // An old manifest must never stand in for the one that does not arrive.
  Try([&] { platform_.RemoveFile(manifest); });
  clsDownload download(platform_, offer.server->UL, manifest, Limits(kMaxManifestBytes));
  if (!Fetch(download, {}, /*quiet=*/!last)) return false;  // its line in the log says why
  ReadOffer(offer, InAppDir("\\Pellarion.exe"), kApplicationKey);
  if (IsVersionDigits(offer.NU)) return true;
  Log({"the manifest offers no version (\"", offer.NU, "\")"});
  return false;
}

RunEnd UpdateRun::UpdateApplicationOnline(Offer& offer) {
  const std::string package = InAppDir("\\Pellarion.bin"), application = InAppDir("\\Pellarion.exe");
  Show(kGreen, messages::kDownloading);
  // A package left by an earlier run must never be taken for this one's.
  Try([&] { platform_.RemoveFile(package); });
  Outcome installed = DownloadPackage(offer, PackageRole::Application, package, application);
  if (installed == Outcome::OutOfTime) return {installed};
  // The running application is stopped only when there is an accepted
  // package to install, and started again when the swap fails.
  if (installed == Outcome::Updated && !(TestExists(package) && InstallApplication(package, WindowState::Minimised))) {
    installed = Outcome::UpdateFailed;
  }
  if (installed != Outcome::Updated) {
    Wait(2500);
    return {installed, /*windowStaysOpen=*/true};
  }
  Show(messages::kUpdated);
  Wait(3000);
  StartApplication(WindowState::Minimised);
  return {Worse(Outcome::Updated, CheckUpdaterOnline(offer))};
}

Outcome UpdateRun::CheckUpdaterOnline(Offer& offer) {
  const std::string staged = InAppDir("\\update.bin"), updater = InAppDir("\\update.exe");
  ReadOffer(offer, updater, kUpdaterKey);
  if (!OfferIsNewer(offer)) return Outcome::UpToDate;
  // An updater staged by an earlier run that is already the offered one and
  // passes the gate is not fetched again. A staged file the gate refuses is
  // no refusal of this run's offer: it is simply replaced.
  if (TestExists(staged) && Accepted(Shown(staged), Gate(offer, staged, PackageRole::Updater, updater))) {
    Log("update.bin is the offered updater already");
    return Outcome::UpToDate;
  }
  Show(messages::kDownloadingUpdater);
  const Outcome fetched = DownloadPackage(offer, PackageRole::Updater, staged, updater);
  // Success only for a staged updater the gate accepted; otherwise the
  // failure text stays.
  if (fetched == Outcome::Updated) Show(messages::kUpdated);
  return fetched;
}

void UpdateRun::ReadOffer(Offer& offer, const std::string& installed, int key) {
  // The installed side from "0": a value left by the previous comparison is
  // never compared again.
  offer.CU = "0";
  Try([&] { offer.CU = VersionDigitsOf(platform_, installed); });
  // A manifest that cannot be read offers nothing; the line kept from an
  // earlier read is not looked at again.
  ManifestVariables manifest;
  std::string line;
  if (Try([&] { line = ReadFileLine(platform_, InAppDir("\\update.txt"), static_cast<std::int16_t>(key)); })) {
    TakeManifestLine(line, key, manifest);
  }
  offer.NU = manifest.ManifestValue;
}

Outcome UpdateRun::DownloadPackage(const Offer& offer, PackageRole role, const std::string& path,
                                   const std::string& installed) {
  if (const auto fromDelta = PackageFromDelta(offer, role, path, installed)) return *fromDelta;
  DownloadLimits limits = Limits(kMaxPackageBytes);
  // A cut transfer resumes, in this run and the next, while the same offer
  // stands: the same version, and in a keyed build the same signed digest.
  limits.resumable = true;
  // A busy server that says when to come back is waited out: the next run
  // would meet the same queue.
  limits.waitsOutBusy = true;
  std::string offered = offer.NU;
  if (release_) {
    // The signed length is the cap; the digest is computed as the bytes
    // arrive, and a resumed file that misses it is fetched whole once more.
    // A whole file that is not the signed one is the gate's to refuse.
    const PackageEntry& entry = release_->Entry(role);
    limits.maxBytes = std::min<std::uint64_t>(entry.length, limits.maxBytes);
    limits.expectedSha256 = &entry.sha256;
    offered += ' ';
    offered += std::to_string(entry.length);
  }
  limits.offer = offered.c_str();
  const std::string& url = offer.server->PackageUrl(role);
  clsDownload download(platform_, url, path, limits);
  GateVerdict verdict;
  bool gated = false;
  const bool fetched = Fetch(download, [&](const std::string& arrived) {
    verdict = Gate(offer, arrived, role, installed);
    gated = true;
    return verdict.accepted ? std::string() : verdict.reason;
  });
  // After the download's line: the verdict on the file it brought.
  if (gated && !Accepted(url, verdict)) return Outcome::Refused;
  if (fetched) {
    // What a delta's transfer cut short kept for a later run is of no more use.
    for (const char* kept : {kDownloadSuffix, kResumeSuffix}) {
      Try([&] { platform_.RemoveFile(path + kDeltaSuffix + kept); });
    }
    return Outcome::Updated;
  }
  if (!download.Outcome().runOver) return Outcome::UpdateFailed;
  Log("the run's time is over");
  return Outcome::OutOfTime;
}

std::optional<Outcome> UpdateRun::PackageFromDelta(const Offer& offer, PackageRole role, const std::string& path,
                                                   const std::string& installed) {
  if (!release_ || release_->Deltas(role).empty()) return std::nullopt;
  const PackageEntry& entry = release_->Entry(role);
  std::string base, line = "delta from the installed ", version = "file";
  Try([&] { base = FileSha256(platform_, installed); });  // a file that cannot be read is no base
  Try([&] { version = FileVersionOf(platform_, installed); });
  line += version;
  const DeltaEntry* delta = nullptr;
  for (const DeltaEntry& listed : release_->Deltas(role)) {
    // One no shorter than its package would save nothing.
    if (listed.baseSha256 == base && listed.length < entry.length) delta = &listed;
  }
  if (delta == nullptr) {
    Log({"no ", line, " is listed: the whole package"});
    return std::nullopt;
  }
  // Served beside its package, named after its base.
  std::string url = offer.server->PackageUrl(role);
  const std::size_t name = url.rfind('/') + 1;
  url.replace(name, std::string::npos, DeltaFileName(std::string_view(url).substr(name), base));
  const std::string deltaPath = path + kDeltaSuffix, made = path + kPatchedSuffix;
  DownloadLimits limits = Limits(static_cast<std::int64_t>(delta->length));
  limits.resumable = true;
  limits.waitsOutBusy = true;  // the package's queue, as the package's
  limits.expectedSha256 = &delta->sha256;
  const std::string offered = HexDigest(delta->sha256);
  limits.offer = offered.c_str();
  clsDownload download(platform_, url, deltaPath, limits);
  // Only the delta the publisher signed is ever decoded. Not the run's Fetch:
  // a delta that does not come shows no failure, the whole package follows.
  const bool fetched = download.Get_File([&](const std::string& arrived) {
    return FileSha256(platform_, arrived) == delta->sha256 ? std::string() : std::string("not the signed delta");
  });
  Log(download.Description());
  std::string failure = download.Outcome().error;
  if (fetched) {
    try {
      const DeltaResult result =
          ApplyDeltaFiles(platform_, installed, deltaPath, made, {static_cast<std::int64_t>(entry.length)});
      if (result.length != static_cast<std::int64_t>(entry.length) || result.sha256 != entry.sha256) {
        failure = "what it makes is not the signed package";
      }
    } catch (const std::exception& error) {  // the decoder's faults, the files', memory
      failure = error.what();
    }
    Try([&] { platform_.RemoveFile(deltaPath); });
  }
  std::optional<Outcome> outcome;
  if (failure.empty()) {
    // The signed package, made here: the gate judges it as it judges a
    // downloaded one, and its refusal is the run's, as for the whole package.
    if (!Accepted(url, Gate(offer, made, role, installed))) {
      outcome = Outcome::Refused;
    } else if (Try([&] { platform_.MoveReplacing(made, path); })) {
      const std::uint64_t tenths = (entry.length - delta->length) * 1000 / entry.length;
      Log({line, ": ", std::to_string(delta->length), " bytes instead of ", std::to_string(entry.length), " (",
           std::to_string(tenths / 10), ".", std::to_string(tenths % 10), "% saved)"});
      return Outcome::Updated;
    } else {
      failure = "it could not take the package's place";
    }
  }
  Try([&] { platform_.RemoveFile(made); });
  if (!outcome) Log({line, " failed: ", failure, "; the whole package instead"});
  return outcome;
}

}  // namespace pellarion
