#include "download/clsDownload.h"

#include <cstdint>
#include <exception>
#include <optional>

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
  const std::int64_t base = 2000LL << tries;
  const char here = 0;
  std::uint64_t x = static_cast<std::uint64_t>(platform.MonotonicMs()) * 0x9E3779B97F4A7C15ULL ^
                    static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&here));
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 29;
  return base + static_cast<std::int64_t>(x % static_cast<std::uint64_t>(base));
}

std::string Seconds(std::int64_t ms) { return std::to_string((ms + 500) / 1000) + " s"; }

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
  const std::string& url = sURLFileName;
  const std::string partial = sSaveFileName + kDownloadSuffix, record = sSaveFileName + kResumeSuffix;
  lastError_.clear();
  history_.clear();
  lastStatus_ = 0;
  transferred_ = 0;
  runOver_ = false;

  // Bytes an earlier transfer kept are taken up only for the same URL and
  // offer; anything else left under these names goes.
  std::optional<ResumeRecord> resume;
  if (limits_.resumable) resume = ReadResumeRecord(platform_, sSaveFileName);
  if (resume && (resume->url != url || resume->offer != limits_.offer ||
                 (limits_.expectedBytes >= 0 && resume->total != limits_.expectedBytes))) {
    resume.reset();
  }
  if (!resume) Discard(partial, record);

  const TransferRules rules = RulesOf(limits_);

  int busyTries = 0, resumeTries = 0;
  bool fetchedWholeAgain = false;
  for (;;) {
    if (limits_.runDeadlineMs >= 0 && platform_.MonotonicMs() >= limits_.runDeadlineMs) {
      runOver_ = true;
      lastError_ = "the run's time is over; no transfer started";
      return false;
    }
    ResumeRange range;
    TransferRequest request;
    request.url = url;
    request.userAgent = limits_.userAgent;
    request.connectSeconds = limits_.connectSeconds;
    request.maxRedirects = limits_.maxRedirects;
    if (resume) {
      range = {resume->kept, resume->validator, resume->total};
      request.rangeFrom = resume->kept;
      request.ifRange = resume->validator;
    }
    FileSink sink(platform_, partial, rules, resume ? &range : nullptr, limits_.expectedSha256);
    TransferFault fault = TransferFault::Broken;
    std::int64_t retryAfter = -1;
    try {
      platform_.Transfer(request, sink);
      transferred_ += sink.received();
      lastStatus_ = sink.status();
      break;
    } catch (const TransferFailure& failure) {
      fault = failure.fault();
      retryAfter = failure.retryAfterSeconds();
      lastError_ = failure.what();
    } catch (const std::exception& failure) {  // the transport's own
      lastError_ = failure.what();
    }
    transferred_ += sink.received();
    if (sink.status() != 0) lastStatus_ = sink.status();
    if (fault == TransferFault::RunOver) runOver_ = true;

    // What this attempt leaves for the next one.
    const std::int64_t kept = sink.Keep();
    if (sink.status() != 0 && fault != TransferFault::Busy) {
      // The answer reached the file (or refused it): what it holds now is
      // all there is to resume from.
      const TransferPolicy& policy = sink.policy();
      resume.reset();
      if (limits_.resumable && CutShort(fault) && kept > 0 && !policy.validator().empty() && policy.total() > kept) {
        resume = ResumeRecord{url, policy.validator(), limits_.offer, policy.total(), kept};
        try {
          const std::string text = ResumeRecordText(*resume);
          const auto file = platform_.OpenOutput(record, 0);
          file->Write(text.data(), text.size());
          file->Flush();
        } catch (const std::exception&) {
          resume.reset();
        }
      }
      if (!resume) Discard(partial, record);
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
    } else if (resume && fault != TransferFault::RunOver && sink.received() > 0 && resumeTries < kMaxRetries) {
      waitMs = 1000LL << resumeTries;
      ++resumeTries;
    }
    if (waitMs < 0 || !Wait(waitMs)) return false;
    history_ += lastError_ + (waitMs > 0 ? "; again in " + Seconds(waitMs) + ". " : "; again. ");
  }

  // Whole, flushed and, where the digest was known, the expected bytes.
  RemoveQuietly(platform_, record);
  std::string refusal;
  try {
    if (accept) refusal = accept(partial);
    if (refusal.empty()) {
      platform_.MoveReplacing(partial, sSaveFileName);
      return true;
    }
    lastError_ = "refused: " + refusal;
  } catch (const std::exception& failure) {
    lastError_ = failure.what();
  }
  RemoveQuietly(platform_, partial);
  return false;
}

}  // namespace pellarion
