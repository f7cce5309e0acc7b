#include "download/clsDownload.h"

#include <cstdint>
#include <exception>

#include "download/FileSink.h"
#include "platform/Digits.h"
#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

namespace {

constexpr int kMaxRetries = 3;
constexpr std::int64_t kMostRetryAfterSeconds = 60;

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

// A back-off of 2, 4 or 8 s plus as much again at random, so that updaters
// turned away together do not come back together. The randomness comes from
// the clock and from where this process's stack lies (different in each
// process), mixed.
std::int64_t Backoff(Platform& platform, int tries) {
  const std::uint32_t base = 2000u << tries;
  const char here = 0;
  std::uint32_t x = static_cast<std::uint32_t>(platform.MonotonicMs()) * 2654435761u ^
                    static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&here));
  x ^= x >> 15;
  x *= 0x2c1b3c6dU;
  x ^= x >> 12;
  return base + x % base;
}

}  // namespace

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
    outcome_.history += outcome_.error;
    outcome_.history += "; again in ";
    outcome_.history += std::to_string(waitMs / 1000);
    outcome_.history += " s. ";
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
  if (fault == TransferFault::Busy && busyTries_ < kMaxRetries) {
    const int tries = busyTries_++;
    if (retryAfterSeconds < 0) return Backoff(platform_, tries);
    return (retryAfterSeconds < kMostRetryAfterSeconds ? retryAfterSeconds : kMostRetryAfterSeconds) * 1000;
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
  const std::string seconds = std::to_string(hundredths / 100) + "." + DecimalDigits(hundredths % 100, 2) + " s";
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
    line += std::to_string(outcome_.transferred);
    line += " bytes in all)";
  }
  return line;
}

}  // namespace pellarion
