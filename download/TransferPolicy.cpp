#include "download/TransferPolicy.h"

#include "versions/Decimal.h"

namespace pellarion {

namespace {

// The decimal number that `text` holds from `begin` to `end`, and nothing
// else; -1 otherwise.
std::int64_t ParseDigits(const std::string& text, std::size_t begin, std::size_t end) {
  if (end <= begin || end > text.size()) return -1;
  const auto value = ParseDecimal(std::string_view(text).substr(begin, end - begin));
  return value ? static_cast<std::int64_t>(*value) : -1;
}

// "bytes FIRST-LAST/TOTAL", exactly; false for anything else.
bool ParseContentRange(const std::string& text, std::int64_t& first, std::int64_t& last, std::int64_t& total) {
  constexpr std::size_t kUnit = 6;  // "bytes "
  if (text.rfind("bytes ", 0) != 0) return false;
  const std::size_t dash = text.find('-', kUnit);
  const std::size_t slash = text.find('/', kUnit);
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  first = ParseDigits(text, kUnit, dash);
  last = ParseDigits(text, dash + 1, slash);
  total = ParseDigits(text, slash + 1, text.size());
  return first >= 0 && last >= first && total > last;
}

// Only a strong ETag names one exact sequence of bytes; a weak one ("W/...")
// may not be used to join ranges, so the date is taken instead.
std::string ValidatorOf(const ResponseHead& head) {
  if (!head.etag.empty() && head.etag.rfind("W/", 0) != 0) return head.etag;
  return head.lastModified;
}

}  // namespace

void FailTransfer(TransferFault fault, const char* a, std::int64_t n1, const char* b, std::int64_t n2, const char* c,
                  std::int64_t retryAfterSeconds) {
  std::string why = a;
  if (n1 != kNoNumber) why += std::to_string(n1);
  why += b;
  if (n2 != kNoNumber) why += std::to_string(n2);
  why += c;
  throw TransferFailure(fault, why, retryAfterSeconds);
}

std::int64_t ParseLength(const std::string& text) { return ParseDigits(text, 0, text.size()); }

TransferPolicy::TransferPolicy(const TransferRules& rules, std::int64_t startMs, const ResumeRange* asked)
    : rules_(rules),
      startMs_(startMs),
      asked_(asked != nullptr && asked->from > 0 ? asked : nullptr),
      pace_(startMs, rules.paceWindowMs, rules.minBytesPerSecond) {}

bool TransferPolicy::OnHead(const ResponseHead& head, std::int64_t nowMs) {
  headSeen_ = true;
  CheckTime(nowMs);
  const int status = head.status;
  if (status == 503 || status == 429) {
    FailTransfer(TransferFault::Busy, "HTTP status ", status, ", the server is busy", kNoNumber, "",
                 ParseLength(head.retryAfter));
  }
  if (status < 200 || status > 299) {
    // A resumed request the server cannot serve from the kept bytes on.
    FailTransfer(status == 416 && asked_ != nullptr ? TransferFault::Changed : TransferFault::Status, "HTTP status ",
                 status);
  }
  announced_ = ParseLength(head.contentLength);
  validator_ = ValidatorOf(head);
  bool resumed = false;
  if (status == 206) {
    // A part of the file is taken only as the continuation asked for: the
    // same version (validator), the same whole length, from the first byte
    // not yet kept to the end.
    if (asked_ == nullptr) FailTransfer(TransferFault::Refused, "a 206 not asked for");
    std::int64_t first = 0, last = 0, total = 0;
    if (!ParseContentRange(head.contentRange, first, last, total) || first != asked_->from ||
        total != asked_->total || last != total - 1 || validator_ != asked_->validator ||
        (announced_ >= 0 && announced_ != total - first)) {
      FailTransfer(TransferFault::Changed, "a 206 for another range");
    }
    offset_ = first;
    total_ = total;
    resumed = true;
  } else {
    // Any other success is the whole file: a resume starts over.
    offset_ = 0;
    total_ = announced_;
  }
  if (total_ > rules_.maxBytes) {
    FailTransfer(TransferFault::Refused, "body of ", total_, " bytes announced, more than the ", rules_.maxBytes,
                 " bytes allowed");
  }
  if (rules_.expectedBytes >= 0 && total_ >= 0 && total_ != rules_.expectedBytes) {
    FailTransfer(TransferFault::Refused, "body of ", total_, " bytes announced, ", rules_.expectedBytes,
                 " bytes expected");
  }
  return resumed;
}

void TransferPolicy::OnBody(std::int64_t size, std::int64_t nowMs) {
  received_ += size;
  const std::int64_t whole = offset_ + received_;
  if (whole > rules_.maxBytes) {
    FailTransfer(TransferFault::Refused, "body longer than the ", rules_.maxBytes, " bytes allowed");
  }
  if (rules_.expectedBytes >= 0 && whole > rules_.expectedBytes) {
    FailTransfer(TransferFault::Refused, "body longer than the ", rules_.expectedBytes, " bytes expected");
  }
  if (announced_ >= 0 && received_ > announced_) {
    FailTransfer(TransferFault::Refused, "body longer than the ", announced_, " bytes announced");
  }
  CheckTime(nowMs);
}

void TransferPolicy::OnIdle(std::int64_t nowMs) { CheckTime(nowMs); }

void TransferPolicy::OnEnd() const {
  if (announced_ >= 0 && received_ != announced_) {
    FailTransfer(TransferFault::Broken, "body of ", received_, " bytes, ", announced_, " bytes announced");
  }
  if (rules_.expectedBytes >= 0 && offset_ + received_ != rules_.expectedBytes) {
    FailTransfer(TransferFault::Broken, "file of ", offset_ + received_, " bytes, ", rules_.expectedBytes,
                 " bytes expected");
  }
}

// The deadline allows the grace time plus the body at the slowest pace: the
// length expected of this response (announced, else the caller's), or what
// has arrived when nobody said.
std::int64_t TransferPolicy::DeadlineMs() const {
  std::int64_t length = received_;
  if (announced_ >= 0) {
    length = announced_;
  } else if (rules_.expectedBytes >= 0 && rules_.expectedBytes - offset_ > length) {
    length = rules_.expectedBytes - offset_;
  }
  return startMs_ + rules_.graceMs + length * 1000 / rules_.minBytesPerSecond;
}

void TransferPolicy::CheckTime(std::int64_t nowMs) {
  if (rules_.runDeadlineMs >= 0 && nowMs >= rules_.runDeadlineMs) {
    FailTransfer(TransferFault::RunOver, "the run's time is over");
  }
  if (nowMs > DeadlineMs()) {
    FailTransfer(TransferFault::Deadline, "past the deadline for its length");
  }
  if (pace_.TooSlow(nowMs, received_)) {
    FailTransfer(TransferFault::Slow, "slower than ", rules_.minBytesPerSecond, " bytes a second over ",
                 rules_.paceWindowMs / 1000, " s");
  }
}

std::int64_t TransferPolicy::WaitLimitMs(std::int64_t nowMs) const {
  std::int64_t until = DeadlineMs() + 1;
  if (rules_.runDeadlineMs >= 0 && rules_.runDeadlineMs < until) until = rules_.runDeadlineMs;
  const std::int64_t slow = pace_.FailsAtMs(nowMs, received_);
  if (slow < until) until = slow;
  return until > nowMs ? until - nowMs : 0;
}

}  // namespace pellarion
