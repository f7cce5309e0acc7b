#include "app/UpdateRun.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/ContinueOnError.h"
#include "app/Files.h"
#include "app/Messages.h"
#include "app/PackageGate.h"
#include "app/ProcessTermination.h"
#include "app/SignedRelease.h"
#include "download/DiskReserve.h"
#include "download/ResumeRecord.h"
#include "download/UserAgent.h"
#include "platform/Digits.h"
#include "platform/TemporaryFiles.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

// How long one run may take (a build setting).
#ifndef PELLARION_RUN_DEADLINE_SECONDS
#define PELLARION_RUN_DEADLINE_SECONDS 7200
#endif
constexpr std::int64_t kRunDeadlineMs = PELLARION_RUN_DEADLINE_SECONDS * 1000LL;

}  // namespace

UpdateRun::UpdateRun(Platform& platform, Form1& form, std::string publisherKey)
    : platform_(platform), form_(form), publisherKey_(std::move(publisherKey)), log_(platform) {
  Try([&] { appDir_ = platform_.AppDir(); });
  Try([&] { exeName_ = platform_.ExeName(); });
  Try([&] { runDeadlineMs_ = platform_.MonotonicMs() + kRunDeadlineMs; });
  if (!appDir_.empty()) log_.Open(InAppDir("\\update.log"));
}

ExitCode UpdateRun::Execute() {
  if (StartUp() == Mode::Share) {
    ShareMode();
  } else {
    InternetMode();
  }
  return outcome_;
}

Mode UpdateRun::StartUp() {
  std::string version;
  Try([&] { version = FileVersionOf(platform_, RunningExecutable()); });
  Log("start: " + exeName_ + ".exe " + (version.empty() ? "without a version record" : version) + " in " + appDir_);
  Try([&] { form_.SetStatusColour(kBlue); });
  TestExists(InAppDir("\\pellarion.exe"));
  Pump();
  if (!lastExists_) PlaceUpdaterAndEnd();

  bool another = false;
  Try([&] { another = platform_.PreviousInstance(); });
  if (another) {
    Log("another updater runs from this folder");
    Outcome(ExitCode::AnotherRun);
    EndRun();
  }
  RemoveLeftovers();
  RestartAfterCutRun();
  ComposeUserAgent(version);

  Try([&] { form_.ShowStatusWindow(); });
  Pump();
  AddFirewallException();
  Pump();
  SetStatus(messages::kSearching);
  Pump();
  TestExists(InAppDir("\\format.dll"));
  Pump();
  Log(lastExists_ ? "mode: from the update server (format.dll is here)"
                  : "mode: from the host computer's share (no format.dll)");
  return lastExists_ ? Mode::Internet : Mode::Share;
}

void UpdateRun::PlaceUpdaterAndEnd() {
  Log("no Pellarion.exe here: the updater goes where the application is installed");
  const std::string self = RunningExecutable();
  if (TestExists("D:\\Pellarion\\pellarion.exe") && MayPlaceOver("D:\\Pellarion\\update.exe") &&
      Try([&] { platform_.CopyFileTo(self, "D:\\Pellarion\\update.exe"); })) {
    Log("placed the updater as " + Shown("D:\\Pellarion\\update.exe"));
  }
  Pump();
  if (TestExists("E:\\Pellarion\\pellarion.exe") && MayPlaceOver("E:\\Pellarion\\update.exe") &&
      Try([&] { platform_.CopyFileTo(self, "E:\\Pellarion\\update.exe"); })) {
    Log("placed the updater as " + Shown("E:\\Pellarion\\update.exe"));
  }
  Pump();
  // Both starts are attempted whatever the tests found; a copy planted by an
  // earlier run is started too.
  StartPlaced("E:\\Pellarion\\update.exe");
  StartPlaced("D:\\Pellarion\\update.exe");
  Pump();
  Outcome(ExitCode::Placed);
  EndRun();
}

bool UpdateRun::MayPlaceOver(const std::string& placed) {
  bool there = true;
  if (Try([&] { there = platform_.FileExists(placed); }) && !there) return true;
  std::string mine = "0", theirs = "0";
  Try([&] { mine = VersionDigitsOf(platform_, RunningExecutable()); });
  Try([&] { theirs = VersionDigitsOf(platform_, placed); });
  if (IsNewer(mine, theirs)) return true;
  Log("kept " + Shown(placed) + " (" + theirs + "): not older than this updater (" + mine + ")");
  return false;
}

void UpdateRun::StartPlaced(const std::string& placed) {
  std::string mine = "self", theirs;
  if (!publisherKey_.empty()) {
    Try([&] { mine = FileSha256(platform_, RunningExecutable()); });
    Try([&] { theirs = FileSha256(platform_, placed); });
  }
  if (publisherKey_.empty() || mine == theirs) Start(placed, WindowState::Minimised);
}

void UpdateRun::RemoveLeftovers() {
  // Every file the run writes in an application folder.
  static const char* const kTargets[] = {"update.txt",    "Pellarion.bin", "update.bin",    "NewVersion.exe",
                                         "Pellarion.exe", "update.exe",    "update.release"};
  // A package's cut transfer stays, to be resumed, while its .part and the
  // record of what it holds agree.
  const auto resumable = [&](const std::string& name, const std::string& target) {
    if (target != "Pellarion.bin" && target != "update.bin") return false;
    // Of the temporary names of `target`, only its .part and .resume have
    // these lengths (the others' suffixes are longer, shorter or composed).
    const std::size_t suffix = name.size() - std::string(target).size();
    if (suffix != std::strlen(kDownloadSuffix) && suffix != std::strlen(kResumeSuffix)) return false;
    ResumeRecord record;
    return ReadResumeRecord(platform_, InAppDir("\\" + target), record);
  };
  std::vector<std::string> names;
  Try([&] { names = platform_.ListFiles(appDir_); });
  for (const std::string& name : names) {
    for (const char* target : kTargets) {
      if (!IsTemporaryOf(name, target)) continue;
      if (resumable(name, target)) {
        Log("kept " + name + " to resume its transfer");
      } else if (Try([&] { platform_.RemoveFile(InAppDir("\\" + name)); })) {
        Log("removed " + name + ", left by an earlier run");
      }
    }
  }
}

void UpdateRun::ComposeUserAgent(const std::string& updaterVersion) {
  std::string application = "none";
  Try([&] { application = FileVersionOf(platform_, InAppDir("\\Pellarion.exe")); });
  SystemDescription system;
  Try([&] { system = platform_.DescribeSystem(); });
  userAgent_ = pellarion::ComposeUserAgent(updaterVersion, application, system.system, system.architecture);
}

DownloadLimits UpdateRun::Limits(std::int64_t maxBytes) const {
  DownloadLimits limits;
  limits.maxBytes = maxBytes;
  limits.userAgent = userAgent_.c_str();
  limits.runDeadlineMs = runDeadlineMs_;
  return limits;
}

void UpdateRun::EndIfOutOfTime() {
  std::int64_t now = 0;
  if (runDeadlineMs_ < 0 || !Try([&] { now = platform_.MonotonicMs(); }) || now < runDeadlineMs_) return;
  Log("the run's time is over");
  ShowFailure(ExitCode::UpdateFailed);
  Pump();
  EndRun();
}

bool UpdateRun::HasRoomFor(const std::string& path, std::int64_t bytes) {
  return Try([&] { EnsureRoom(platform_, path, bytes); });  // the log says why not
}

void UpdateRun::RestartAfterCutRun() {
  bool recorded = false;
  if (!Try([&] { recorded = platform_.FileExists(StoppedRecord()); }) || !recorded) return;
  const std::string application = InAppDir("\\Pellarion.exe");
  std::vector<ProcessEntry> running;
  Try([&] { running = platform_.ProcessQuery(application); });
  Log("an earlier run stopped the application and did not start it again");
  if (!running.empty()) {
    Try([&] { platform_.RemoveFile(StoppedRecord()); });
    return;
  }
  StartApplication(WindowState::Minimised);
}

void UpdateRun::AddFirewallException() {
  FirewallRule rule;
  rule.name = messages::kTitle;  // the firewall entry bears the window's title
  rule.ipVersion = 2;
  rule.processImageFileName = appDir_ + "\\" + exeName_ + "." + "exe";
  rule.remoteAddresses = "*";
  rule.scope = 0;
  rule.enabled = true;
  Try([&] { platform_.FirewallAddApplication(FirewallProfile::Current, rule); });
  Try([&] { platform_.FirewallAddApplication(FirewallProfile::Standard, rule); });
}

void UpdateRun::ReadInstalledVersion(const std::string& installed) {
  // Both sides start from "0": a value left by the previous comparison is
  // never compared again.
  form_.SetFieldText(Field::CU, "0");
  form_.SetFieldText(Field::NU, "0");
  Try([&] { form_.SetFieldText(Field::CU, VersionDigitsOf(platform_, installed)); });
  Pump();
}

bool UpdateRun::CompareVersions(const std::string& installed, const std::string& available, bool* read) {
  ReadInstalledVersion(installed);
  const bool done =
      !available.empty() && Try([&] { form_.SetFieldText(Field::NU, VersionDigitsOf(platform_, available)); });
  if (read != nullptr) *read = done;
  Pump();
  return OfferIsNewer();
}

bool UpdateRun::OfferIsNewer() {
  const std::string installed = form_.GetFieldText(Field::CU), offered = form_.GetFieldText(Field::NU);
  const bool newer = IsNewer(offered, installed);
  Log("compare: installed " + installed + ", offered \"" + offered + "\": " + (newer ? "newer" : "not newer"));
  return newer;
}

bool UpdateRun::AcceptRelease(const std::string& path) {
  std::string text;  // a file that cannot be read holds no release
  Try([&] { text = ReadSmallFile(platform_, path, kMaxManifestBytes); });
  const std::string record = InAppDir("\\update.release");
  const std::uint64_t seen = ReadReleaseRecord(platform_, record);
  TrustedRelease trusted = TrustRelease(platform_, text, publisherKey_, seen);
  if (!trusted.description) {
    Log("release refused: " + trusted.reason);
    return false;
  }
  release_ = std::move(trusted.description);
  Log("release " + std::to_string(release_->release) + " signed by the publisher");
  if (release_->release > seen) Try([&] { WriteReleaseRecord(platform_, record, release_->release); });
  return true;
}

GateVerdict UpdateRun::Gate(const std::string& package, const std::string& origin, PackageRole role,
                            const std::string& installed) {
  const PackageExpectation expected{form_.GetFieldText(Field::NU), installed, !publisherKey_.empty(),
                                    release_ ? &release_->Entry(role) : nullptr};
  const GateVerdict verdict = CheckPackage(platform_, package, expected);
  Log("gate: " + origin + (verdict.accepted ? " accepted: " : " refused: ") + verdict.reason);
  if (!verdict.accepted) Outcome(ExitCode::Refused);
  return verdict;
}

bool UpdateRun::AcceptCopy(const std::string& copy, const std::string& source, PackageRole role,
                           const std::string& installed) {
  if (Gate(copy, Shown(source), role, installed).accepted) return true;
  Try([&] { platform_.RemoveFile(copy); });
  ShowFailure(ExitCode::Refused);
  return false;
}

bool UpdateRun::InstallApplication(const std::string& staged, WindowState restartState) {
  const std::string application = InAppDir("\\Pellarion.exe");
  Try([&] { platform_.AppendToFile(StoppedRecord(), "stopped for an update at " + platform_.LocalTime() + "\r\n"); });
  const int stopped = KillRunningApp(platform_, application);
  Log("stopped " + std::to_string(stopped) + " running Pellarion.exe of this folder");
  const bool installed = Try([&] { platform_.MoveReplacing(staged, application); });
  Pump();
  if (installed) {
    Log("installed " + Shown(staged) + " as " + Shown(application));
    return true;
  }
  Log("could not install " + Shown(staged) + "; the old application stays");
  ShowFailure(ExitCode::UpdateFailed);
  Try([&] { platform_.RemoveFile(staged); });
  if (stopped > 0) {
    StartApplication(restartState);
  } else {
    Try([&] { platform_.RemoveFile(StoppedRecord()); });
  }
  Pump();
  return false;
}

void UpdateRun::StartApplication(WindowState state) {
  const std::string application = InAppDir("\\Pellarion.exe");
  if (!Try([&] { platform_.StartProgram(application, state); })) return;
  Log("started " + Shown(application));
  Try([&] { platform_.RemoveFile(StoppedRecord()); });
}

std::string UpdateRun::StoppedRecord() const { return InAppDir("\\Pellarion.stopped"); }

DownloadOutcome UpdateRun::Fetch(const std::string& url, const std::string& path, const DownloadLimits& limits,
                                 const Acceptance& accept) {
  Try([&] { form_.UserName = GetCurrentUser(platform_); });
  Pump();
  Try([&] { platform_.DeleteFolder(CacheFolder(form_.UserName)); });
  Pump();
  const DownloadOutcome outcome = DownloadFile(platform_, url, path, limits, accept);
  Try([&] { platform_.ResetMousePointer(); });
  return outcome;
}

bool UpdateRun::Download(Field urlField, const std::string& path, const DownloadLimits& limits,
                         const Acceptance& accept) {
  const std::string url = form_.GetFieldText(urlField);
  std::int64_t start = 0, end = 0;
  Try([&] { start = platform_.MonotonicMs(); });
  const DownloadOutcome outcome = Fetch(url, path, limits, accept);
  Try([&] { end = platform_.MonotonicMs(); });
  // Hundredths of a second, rounded, written without printf (see Digits.h).
  const auto elapsed = end - start;
  const auto hundredths = static_cast<std::uint64_t>(elapsed < 0 ? 0 : elapsed + 5) / 10;
  const std::string seconds = std::to_string(hundredths / 100) + "." + DecimalDigits(hundredths % 100, 2) + " s";
  // One line, appended piece by piece.
  std::string line = "download ";
  line += url;
  if (outcome.fetched) {
    std::int64_t bytes = -1;
    Try([&] { bytes = platform_.FileLength(path); });
    line += ": ";
    if (outcome.status > 0) {
      line += "HTTP ";
      line += std::to_string(outcome.status);
      line += ", ";
    }
    line += std::to_string(bytes);
    line += " bytes in ";
    line += seconds;
    line += ", saved as ";
    line += Shown(path);
  } else {
    line += " failed after ";
    line += seconds;
    line += ": ";
    line += outcome.error;
  }
  // What went before the end: busy answers waited out, cut transfers resumed.
  if (!outcome.history.empty()) {
    line += " (";
    line += outcome.history;
    line += std::to_string(outcome.transferred);
    line += " bytes in all)";
  }
  Log(line);
  if (!outcome.fetched) {
    ShowFailure(ExitCode::UpdateFailed);
    if (outcome.runOver) EndIfOutOfTime();
  }
  return outcome.fetched;
}

bool UpdateRun::DownloadPackage(Field urlField, const std::string& path, PackageRole role,
                                const std::string& installed) {
  const std::string url = form_.GetFieldText(urlField);
  DownloadLimits limits = Limits(kMaxPackageBytes);
  // A cut transfer resumes, in this run and the next, while the same offer
  // stands: the same version, and in a keyed build the same signed digest.
  limits.resumable = true;
  std::string offer = form_.GetFieldText(Field::NU);
  if (release_) {
    // The signed length is the cap; the digest is computed as the bytes
    // arrive, and a resumed file that misses it is fetched whole once more.
    // A whole file that is not the signed one is the gate's to refuse.
    const PackageEntry& entry = release_->Entry(role);
    limits.maxBytes = std::min<std::uint64_t>(entry.length, limits.maxBytes);
    limits.expectedSha256 = &entry.sha256;
    offer += ' ';
    offer += std::to_string(entry.length);
  }
  limits.offer = offer.c_str();
  return Download(urlField, path, limits, [&](const std::string& arrived) {
    const GateVerdict verdict = Gate(arrived, url, role, installed);
    return verdict.accepted ? "" : verdict.reason;
  });
}

bool UpdateRun::TestExists(const std::string& path) {
  Try([&] { lastExists_ = platform_.FileExists(path); });
  return lastExists_;
}

void UpdateRun::Start(const std::string& path, WindowState state) {
  if (Try([&] { platform_.StartProgram(path, state); })) Log("started " + Shown(path));
}

void UpdateRun::Pause(int milliseconds) {
  Try([&] { platform_.Pause(milliseconds); });
}

void UpdateRun::Pump() {
  Try([&] { platform_.Pump(); });
}

void UpdateRun::SetStatus(const char* text) {
  Try([&] { form_.SetStatusText(text); });
}

void UpdateRun::SetStatus(Colour colour, const char* text) {
  Try([&] { form_.SetStatus(colour, text); });
}

void UpdateRun::ShowFailure(ExitCode code) {
  SetStatus(kRed, messages::kUpdateFailed);
  Outcome(code);
}

void UpdateRun::Outcome(ExitCode code) {
  if (Severity(code) > Severity(outcome_)) outcome_ = code;
}

void UpdateRun::EndRun() {
  Log("end (exit code " + std::to_string(static_cast<int>(outcome_)) + "): " + form_.Status().text);
  platform_.EndRun(static_cast<int>(outcome_));
  std::abort();  // unreachable: EndRun does not return
}

void UpdateRun::Log(const std::string& event) { log_.Write(event); }

std::string UpdateRun::Shown(const std::string& path) { return platform_.NativePath(path); }

std::string UpdateRun::InAppDir(const std::string& name) const { return appDir_ + name; }

std::string UpdateRun::RunningExecutable() const {
  return appDir_ + "\\" + exeName_ + ".exe";
}

}  // namespace pellarion
