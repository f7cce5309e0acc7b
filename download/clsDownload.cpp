#include "download/clsDownload.h"

#include <cstdint>
#include <exception>

#include "download/FileSink.h"
#include "download/ResumeRecord.h"
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

bool clsDownload::Wait(std::int64_t ms) {
  if (limits_.runDeadlineMs >= 0 && platform_.MonotonicMs() + ms >= limits_.runDeadlineMs) return false;
  if (ms > 0) platform_.Pause(static_cast<int>(ms));
  return true;
}

void clsDownload::Discard(const std::string& partial, const std::string& record) {
  RemoveQuietly(platform_, partial);
  RemoveQuietly(platform_, record);
}

bool clsDownload::Get_File(const std::string& sURLFileName, const std::string& sSaveFileName,
                           const Acceptance& accept) {
  const std::string partial = sSaveFileName + kDownloadSuffix, record = sSaveFileName + kResumeSuffix;
  lastError_.clear();
  history_.clear();
  lastStatus_ = 0;
  transferred_ = 0;
  runOver_ = false;

  // Bytes an earlier transfer kept are taken up only for the same URL and
  // offer; anything else left under these names goes.
  ResumeRecord kept;
  bool resuming = limits_.resumable && ReadResumeRecord(platform_, sSaveFileName, kept) &&
                  kept.url == sURLFileName && kept.offer == limits_.offer;
  if (!resuming) Discard(partial, record);

  const TransferRules rules = RulesOf(limits_);
  TransferRequest request;
  request.url = sURLFileName;
  request.userAgent = limits_.userAgent;
  request.connectSeconds = limits_.connectSeconds;
  request.maxRedirects = limits_.maxRedirects;
  int busyTries = 0, resumeTries = 0;
  bool fetchedWholeAgain = false;
  for (;;) {
    if (limits_.runDeadlineMs >= 0 && platform_.MonotonicMs() >= limits_.runDeadlineMs) {
      runOver_ = true;
      lastError_ = "the run's time is over";
      return false;
    }
    request.rangeFrom = resuming ? kept.range.from : 0;
    request.ifRange = resuming ? kept.range.validator.c_str() : "";
    FileSink sink(platform_, partial, rules, resuming ? &kept.range : nullptr, limits_.expectedSha256);
    TransferFault fault = TransferFault::Broken;  // the transport's own failures
    std::int64_t retryAfter = -1;
    try {
      platform_.Transfer(request, sink);
    } catch (const TransferFailure& failure) {
      fault = failure.fault();
      retryAfter = failure.retryAfterSeconds();
      lastError_ = failure.what();
    } catch (const PlatformError& failure) {
      lastError_ = failure.what();
    }
    transferred_ += sink.received();
    if (sink.status() != 0) lastStatus_ = sink.status();
    if (lastError_.empty()) break;
    if (fault == TransferFault::RunOver) runOver_ = true;

    // What this attempt leaves for the next one. Once an answer reached the
    // file (or refused it), what the file holds now is all there is to
    // resume from.
    const std::int64_t held = sink.Keep();
    if (sink.status() != 0 && fault != TransferFault::Busy) {
      const TransferPolicy& policy = sink.policy();
      resuming = limits_.resumable && CutShort(fault) && held > 0 && !policy.validator().empty() &&
                 policy.total() > held;
      if (resuming) {
        kept.url = sURLFileName;
        kept.offer = limits_.offer;
        kept.range = {held, policy.validator(), policy.total()};
        try {
          WriteResumeRecord(platform_, sSaveFileName, kept);
        } catch (const PlatformError&) {
          resuming = false;
        }
      }
      if (!resuming) Discard(partial, record);
    }

    // What comes next.
    std::int64_t waitMs = -1;
    if (fault == TransferFault::Busy && busyTries < kMaxRetries) {
      waitMs = retryAfter >= 0 ? (retryAfter < kMostRetryAfterSeconds ? retryAfter : kMostRetryAfterSeconds) * 1000
                               : Backoff(platform_, busyTries);
      ++busyTries;
    } else if (fault == TransferFault::Changed && resumeTries < kMaxRetries) {
      waitMs = 0;  // the package changed: at once, whole
      ++resumeTries;
    } else if (fault == TransferFault::Mismatch && sink.resumed() && !fetchedWholeAgain) {
      waitMs = 0;  // joined bytes of two versions that the validator did not tell apart
      fetchedWholeAgain = true;
    } else if (resuming && fault != TransferFault::RunOver && sink.received() > 0 && resumeTries < kMaxRetries) {
      waitMs = 1000LL << resumeTries;
      ++resumeTries;
    }
    if (waitMs < 0 || !Wait(waitMs)) return false;
    history_ += lastError_;
    history_ += "; again in ";
    history_ += std::to_string(waitMs / 1000);
    history_ += " s. ";
    lastError_.clear();
  }

  // Whole, flushed and, where it continued kept bytes, the expected file.
  RemoveQuietly(platform_, record);
  std::string refusal;
  try {
    if (accept) refusal = accept(partial);
    if (refusal.empty()) {
      platform_.MoveReplacing(partial, sSaveFileName);
      return true;
    }
    lastError_ = "refused: " + refusal;
  } catch (const PlatformError& failure) {
    lastError_ = failure.what();
  }
  RemoveQuietly(platform_, partial);
  return false;
}

}  // namespace pellarion
