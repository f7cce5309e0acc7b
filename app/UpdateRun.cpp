#include "app/UpdateRun.h"

#include <algorithm>
#include <cstring>

#include "app/BrowserCache.h"
#include "app/Messages.h"
#include "gate/ContinueOnError.h"
#include "gate/Files.h"
#include "gate/SignedRelease.h"
#include "platform/Joined.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

// How long one run may take (a build setting).
#ifndef PELLARION_RUN_DEADLINE_SECONDS
#define PELLARION_RUN_DEADLINE_SECONDS 7200
#endif
constexpr std::int64_t kRunDeadlineMs = PELLARION_RUN_DEADLINE_SECONDS * 1000LL;

// How long a file another program holds is waited for, in all.
constexpr std::int64_t kMostInUseWaitMs = 30000;

}  // namespace

UpdateRun::UpdateRun(Platform& platform, Form1& form, std::string servers, std::string publisherKey)
    : platform_(platform),
      form_(form),
      environmentServers_(std::move(servers)),
      publisherKey_(std::move(publisherKey)),
      log_(platform) {
  Try([&] { appDir_ = platform_.AppDir(); });
  Try([&] { exeName_ = platform_.ExeName(); });
  Try([&] {
    runDeadlineMs_ = platform_.MonotonicMs() + kRunDeadlineMs;
    // The system's randomness; without it, the clock's.
    jitter_ = static_cast<std::uint32_t>(runDeadlineMs_);
    std::memcpy(&jitter_, platform_.RandomBytes(sizeof jitter_).data(), sizeof jitter_);
  });
  if (!appDir_.empty()) log_.Open(InAppDir("\\update.log"));
}

RunEnd UpdateRun::Execute() {
  Mode mode = Mode::Share;
  Ending end = StartUp(mode);  // placed, or another run: the end already
  if (!end) {
    ReadSettings();
    Offer offer;
    end = mode == Mode::Share ? ShareMode(offer) : InternetMode(offer);
  }
  return Finish(*end);
}

RunEnd UpdateRun::Finish(RunEnd end) {
  if (restarted_) RemoveStoppedRecord();  // once more, when its removal failed
  const std::string& shown = form_.Status().text;
  if (IsFailure(end.outcome) && shown != messages::kUpdateFailed && shown != messages::kCheckFailed) ShowFailure();
  std::string line = "end (exit code ";
  line += std::to_string(end.ExitCode());
  line += "): ";
  line += Describe(end.outcome);
  if (end.windowStaysOpen) line += ", the window stays open";
  line += ": ";
  line += form_.Status().text;
  Log(line);
  return end;
}

// --- Versions and the gate ---

bool UpdateRun::CompareVersions(Offer& offer, const std::string& installed, const std::string& available,
                                bool* read) {
  // Both sides start from "0": a value left by the previous comparison is
  // never compared again.
  offer.CU = "0";
  offer.NU = "0";
  Try([&] { offer.CU = VersionDigitsOf(platform_, installed); });
  const bool done = !available.empty() && Try([&] { offer.NU = VersionDigitsOf(platform_, available); });
  if (read != nullptr) *read = done;
  return OfferIsNewer(offer);
}

bool UpdateRun::OfferIsNewer(const Offer& offer) {
  const bool newer = IsNewer(offer.NU, offer.CU);
  Log({"compare: installed ", offer.CU, ", offered \"", offer.NU, "\": ", (newer ? "newer" : "not newer")});
  return newer;
}

bool UpdateRun::AcceptRelease(const std::string& path, const ReadFrom& where) {
  std::string text;  // a file that cannot be read holds no release
  Try([&] { text = ReadSmallFile(platform_, path, kMaxManifestBytes); });
  const std::string recordPath = InAppDir("\\update.release");
  TrustRecord record = ReadTrustRecordFile(platform_, recordPath, where.channel);
  TrustedRelease trusted = TrustRelease(platform_, text, publisherKey_, record, where);
  if (!trusted.description) {
    Log({"release refused: ", trusted.reason});
    return false;
  }
  std::string line = Joined({"release ", std::to_string(trusted.description->release), " signed by "});
  if (trusted.certificateSequence == 0) {
    line += "the publisher";
  } else {
    line += "a release key the publisher certified (sequence ";
    line += std::to_string(trusted.certificateSequence);
    line += ")";
  }
  Log(line);
  // Whether or not anything is taken from it, the release was valid: nothing
  // older is taken again.
  if (RecordTrusted(record, trusted, where)) {
    Try([&] { platform_.WriteRecord(recordPath, TrustRecordText(record)); });
  }
  release_ = std::move(trusted.description);
  return true;
}

bool UpdateRun::InRollout() {
  if (!release_ || release_->rollout >= 100) return true;
  bool made = false;
  int draw = 100;  // none could be made: not taken until one can
  Try([&] {
    draw = RolloutDraw(platform_, WorkstationIdentity(platform_, InAppDir("\\update.identity"), made), *release_);
  });
  if (made) Log("a new workstation identity in update.identity (it was missing, unreadable or malformed)");
  const bool drawn = draw < release_->rollout;
  Log({drawn ? "in" : "not in", " this release's rollout (draw ", std::to_string(draw), ", rollout ",
       std::to_string(release_->rollout), ")"});
  return drawn;
}

GateVerdict UpdateRun::Gate(const Offer& offer, const std::string& package, PackageRole role,
                            const std::string& installed) {
  accepted_.reset();
  return CheckPackage(platform_, package,
                      {offer.NU, installed, Keyed(), release_ ? &release_->Entry(role) : nullptr}, &accepted_);
}

bool UpdateRun::Accepted(const std::string& origin, const GateVerdict& verdict) {
  Log({"gate: ", origin, (verdict.accepted ? " accepted: " : " refused: "), verdict.reason});
  return verdict.accepted;
}

// --- Downloads ---

bool UpdateRun::Fetch(clsDownload& download, const Acceptance& accept, bool quiet) {
  std::string userName;  // none: the purge aims at a folder that is not there
  Try([&] { userName = GetCurrentUser(platform_); });
  Try([&] { platform_.DeleteFolder(CacheFolder(userName)); });
  const bool fetched = download.Get_File(accept);
  Try([&] { platform_.ResetMousePointer(); });
  Log(download.Description());
  if (!fetched && !quiet) ShowFailure();
  return fetched;
}

DownloadLimits UpdateRun::Limits(std::int64_t maxBytes) const {
  DownloadLimits limits;
  limits.maxBytes = maxBytes;
  limits.userAgent = userAgent_.c_str();
  limits.runDeadlineMs = runDeadlineMs_;
  limits.jitter = jitter_;
  return limits;
}

bool UpdateRun::TimeIsOver() {
  std::int64_t now = 0;
  if (runDeadlineMs_ < 0 || !Try([&] { now = platform_.MonotonicMs(); }) || now < runDeadlineMs_) return false;
  Log("the run's time is over");
  return true;
}

bool UpdateRun::TryWhileInUse(const std::string& from, const std::string& to) {
  for (std::int64_t waited = 0, pause = 500;; waited += pause, pause *= 2) {
    bool inUse = false;
    if (Try([&] {
          try {
            to.empty() ? platform_.RemoveFile(from) : platform_.MoveReplacing(from, to);
          } catch (const FileInUseError&) {
            inUse = true;
            throw;
          }
        })) {
      return true;
    }
    pause = std::min(pause, kMostInUseWaitMs - waited);
    std::int64_t now = 0;
    Try([&] { now = platform_.MonotonicMs(); });
    if (!inUse || pause <= 0 || (runDeadlineMs_ >= 0 && now + pause >= runDeadlineMs_)) return false;
    Log({"in use by another program: trying again in ", std::to_string(pause), " ms"});
    Wait(static_cast<int>(pause));
  }
}

// --- One-line steps ---

bool UpdateRun::TestExists(const std::string& path) {
  Try([&] { lastExists_ = platform_.FileExists(path); });
  return lastExists_;
}

void UpdateRun::Show(Colour colour, const char* text) {
  Try([&] { form_.SetStatus(colour, text); });
  Pump();
}

void UpdateRun::ShowFailure() { Show(kRed, messages::kUpdateFailed); }

void UpdateRun::Wait(int milliseconds) {
  Try([&] { platform_.Pause(milliseconds); });
}

void UpdateRun::Pump() {
  Try([&] { platform_.Pump(); });
}

void UpdateRun::Log(const std::string& event) { log_.Write(event); }

void UpdateRun::Log(std::initializer_list<std::string_view> parts) { log_.Write(Joined(parts)); }

std::string UpdateRun::Shown(const std::string& path) { return platform_.NativePath(path); }

std::string UpdateRun::InAppDir(const std::string& name) const { return appDir_ + name; }

std::string UpdateRun::RunningExecutable() const { return Joined({appDir_, "\\", exeName_, ".exe"}); }

}  // namespace pellarion
