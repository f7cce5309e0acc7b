#include "download/clsDownload.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "download/FileSink.h"
#include "platform/Digits.h"
#include "platform/Joined.h"
#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

namespace {

constexpr int kMaxRetries = 3;
constexpr std::int64_t kMostRetryAfterSeconds = 60;
// The attempts before the last one are told up to about this many
// characters; a long wait for a busy server is not told answer by answer.
constexpr std::size_t kMostHistory = 400;

// The file may not be there; a download never fails for that.
void RemoveQuietly(Platform& platform, const std::string& path) {
  try {
    platform.RemoveFile(path);
  } catch (const std::exception&) {
  }
}

std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Failures after which the bytes that arrived are still good to resume from.
bool CutShort(TransferFault fault) {
  return fault == TransferFault::Broken || fault == TransferFault::Slow || fault == TransferFault::Deadline ||
         fault == TransferFault::RunOver;
}

// The part of `spanMs` that the run's random number picks for the try
// `tries`: a different part at each try, and for each random number.
std::int64_t Spread(std::uint32_t jitter, int tries, std::int64_t spanMs) {
  std::uint32_t x = (jitter ^ static_cast<std::uint32_t>(tries) * 0x9e3779b9U) * 2654435761U;
  x ^= x >> 15;
  x *= 0x2c1b3c6dU;
  x ^= x >> 12;
  return spanMs > 0 ? x % static_cast<std::uint32_t>(spanMs) : 0;
}

}  // namespace

std::int64_t BackoffMs(std::uint32_t jitter, int tries) {
  const std::int64_t base = 2000LL << tries;
  return base + Spread(jitter, tries, base);
}

TransferRules RulesOf(const DownloadLimits& limits) {
  TransferRules rules;
  rules.maxBytes = limits.maxBytes;
  rules.expectedBytes = limits.expectedBytes;
  rules.minBytesPerSecond = limits.minBytesPerSecond;
  rules.paceWindowMs = limits.stallSeconds * 1000LL;
  rules.graceMs = limits.graceSeconds * 1000LL;
  rules.runDeadlineMs = limits.runDeadlineMs;
  return rules;
}

clsDownload::clsDownload(Platform& platform, const std::string& sURLFileName, const std::string& sSaveFileName,
                         DownloadLimits limits)
    : platform_(platform),
      url_(TrimSpaces(sURLFileName)),
      target_(TrimSpaces(sSaveFileName)),
      partial_(target_ + kDownloadSuffix),
      record_(target_ + kResumeSuffix),
      limits_(std::move(limits)) {}

bool clsDownload::KeepsToResume(Platform& platform, const std::string& target, const std::string& fileName) {
  // The name of the target, or of the delta downloaded for it, then .part or
  // .resume: nothing else composed.
  for (const std::string& kept : {target, target + kDeltaSuffix}) {
    const std::string name = kept.substr(kept.find_last_of("\\/") + 1);
    const std::size_t suffix = fileName.size() - name.size();
    // The other patterns' suffixes, alone or composed, are of other lengths.
    if (IsTemporaryOf(fileName, name) && (suffix == std::char_traits<char>::length(kDownloadSuffix) ||
                                          suffix == std::char_traits<char>::length(kResumeSuffix))) {
      ResumeRecord record;
      return ReadResumeRecord(platform, kept, record);
    }
  }
  return false;
}

bool clsDownload::Get_File(const Acceptance& accept) {
  outcome_ = {};
  busyTries_ = resumeTries_ = 0;
  fetchedWholeAgain_ = false;
  const std::int64_t start = platform_.MonotonicMs();
  // Bytes an earlier transfer kept are taken up only for the same URL and
  // offer; anything else left under these names goes.
  resuming_ = limits_.resumable && ReadResumeRecord(platform_, target_, kept_) && kept_.url == url_ &&
              kept_.offer == limits_.offer;
  if (!resuming_) Discard();
  for (;;) {
    const std::int64_t waitMs = Attempt();
    if (waitMs == kWhole) {
      outcome_.fetched = Take(accept);
      break;
    }
    if (waitMs < 0 || !Wait(waitMs)) break;
    if (outcome_.history.size() < kMostHistory) {
      outcome_.history += outcome_.error;
      outcome_.history += "; again in ";
      outcome_.history += std::to_string(waitMs / 1000);
      outcome_.history += " s. ";
    } else {
      ++outcome_.untold;
    }
    outcome_.error.clear();
  }
  outcome_.elapsedMs = platform_.MonotonicMs() - start;
  return outcome_.fetched;
}

std::int64_t clsDownload::Attempt() {
  if (limits_.runDeadlineMs >= 0 && platform_.MonotonicMs() >= limits_.runDeadlineMs) {
    outcome_.runOver = true;
    outcome_.error = "the run's time is over";
    return -1;
  }
  TransferRequest request;
  request.url = url_;
  request.userAgent = limits_.userAgent;
  request.connectSeconds = limits_.connectSeconds;
  request.maxRedirects = limits_.maxRedirects;
  request.rangeFrom = resuming_ ? kept_.range.from : 0;
  request.ifRange = resuming_ ? kept_.range.validator.c_str() : "";
  FileSink sink(platform_, partial_, RulesOf(limits_), resuming_ ? &kept_.range : nullptr, limits_.expectedSha256);
  TransferFault fault = TransferFault::Broken;  // the transport's own failures
  std::int64_t retryAfter = -1;
  try {
    platform_.Transfer(request, sink);
  } catch (const TransferFailure& failure) {
    fault = failure.fault();
    retryAfter = failure.retryAfterSeconds();
    outcome_.error = failure.what();
  } catch (const PlatformError& failure) {
    outcome_.error = failure.what();
  }
  outcome_.transferred += sink.received();
  if (sink.status() != 0) outcome_.status = sink.status();
  if (outcome_.error.empty()) return kWhole;
  if (fault == TransferFault::RunOver) outcome_.runOver = true;
  // Once an answer reached the file (or refused it), what the file holds
  // now is all there is to resume from.
  const std::int64_t held = sink.Keep();
  if (sink.status() != 0 && fault != TransferFault::Busy) KeepOrDiscard(fault, held, sink.policy());
  return NextWait(fault, retryAfter, sink.resumed(), sink.received());
}

void clsDownload::KeepOrDiscard(TransferFault fault, std::int64_t held, const TransferPolicy& policy) {
  resuming_ = limits_.resumable && CutShort(fault) && held > 0 && !policy.validator().empty() && policy.total() > held;
  if (resuming_) {
    kept_.url = url_;
    kept_.offer = limits_.offer;
    kept_.range = {held, policy.validator(), policy.total()};
    try {
      WriteResumeRecord(platform_, target_, kept_);
    } catch (const PlatformError&) {
      resuming_ = false;
    }
  }
  if (!resuming_) Discard();
}

std::int64_t clsDownload::NextWait(TransferFault fault, std::int64_t retryAfterSeconds, bool resumed,
                                   std::int64_t received) {
  // A server that says when to come back may be waited out for as long as
  // the run lasts; otherwise it is asked 3 times more.
  const bool told = retryAfterSeconds >= 0;
  if (fault == TransferFault::Busy &&
      (busyTries_ < kMaxRetries || (told && limits_.waitsOutBusy && limits_.runDeadlineMs >= 0))) {
    const int tries = busyTries_++;
    if (!told) return BackoffMs(limits_.jitter, tries);
    // At least what it asked (a second at least, 60 s at most), and up to
    // half as much again, so that a fleet turned away together spreads out.
    const std::int64_t ms = std::clamp<std::int64_t>(retryAfterSeconds, 1, kMostRetryAfterSeconds) * 1000;
    return ms + Spread(limits_.jitter, tries, ms / 2);
  }
  if (fault == TransferFault::Changed && resumeTries_ < kMaxRetries) {
    ++resumeTries_;
    return 0;  // the package changed: at once, whole
  }
  if (fault == TransferFault::Mismatch && resumed && !fetchedWholeAgain_) {
    fetchedWholeAgain_ = true;
    return 0;  // joined bytes of two versions that the validator did not tell apart
  }
  if (resuming_ && fault != TransferFault::RunOver && received > 0 && resumeTries_ < kMaxRetries) {
    return 1000LL << resumeTries_++;
  }
  return -1;
}

bool clsDownload::Wait(std::int64_t ms) {
  if (limits_.runDeadlineMs >= 0 && platform_.MonotonicMs() + ms >= limits_.runDeadlineMs) return false;
  if (ms > 0) platform_.Pause(static_cast<int>(ms));
  return true;
}

bool clsDownload::Take(const Acceptance& accept) {
  // Whole, flushed and, where it continued kept bytes, the expected file.
  RemoveQuietly(platform_, record_);
  try {
    const std::string refusal = accept ? accept(partial_) : "";
    if (refusal.empty()) {
      platform_.MoveReplacing(partial_, target_);
      return true;
    }
    outcome_.error = "refused: " + refusal;
  } catch (const PlatformError& failure) {
    outcome_.error = failure.what();
  }
  RemoveQuietly(platform_, partial_);
  return false;
}

void clsDownload::Discard() {
  RemoveQuietly(platform_, partial_);
  RemoveQuietly(platform_, record_);
}

std::string clsDownload::Description() const {
  // Hundredths of a second, rounded, written without printf (see Digits.h).
  const auto hundredths = static_cast<std::uint64_t>(outcome_.elapsedMs < 0 ? 0 : outcome_.elapsedMs + 5) / 10;
  const std::string seconds = Joined({std::to_string(hundredths / 100), ".", DecimalDigits(hundredths % 100, 2), " s"});
  // One line, appended piece by piece.
  std::string line = "download ";
  line += url_;
  if (outcome_.fetched) {
    std::int64_t bytes = -1;
    try {
      bytes = platform_.FileLength(target_);
    } catch (const PlatformError&) {
    }
    line += ": ";
    if (outcome_.status > 0) {
      line += "HTTP ";
      line += std::to_string(outcome_.status);
      line += ", ";
    }
    line += std::to_string(bytes);
    line += " bytes in ";
    line += seconds;
    line += ", saved as ";
    line += platform_.NativePath(target_);
  } else {
    line += " failed after ";
    line += seconds;
    line += ": ";
    line += outcome_.error;
  }
  // What went before the end: busy answers waited out, cut transfers resumed.
  if (!outcome_.history.empty()) {
    line += " (";
    line += outcome_.history;
    if (outcome_.untold > 0) {
      line += "and ";
      line += std::to_string(outcome_.untold);
      line += " attempts more. ";
    }
    line += std::to_string(outcome_.transferred);
    line += " bytes in all)";
  }
  return line;
}

}  // namespace pellarion
