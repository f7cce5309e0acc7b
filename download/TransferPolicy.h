// The rules of one transfer, written once for every transport: which answer
// is taken (status, a range only as asked), how large the body may be, when it
// ended early, how slow it may be, and how long it may take. Pure: it is told
// the head, the byte counts and the times, and throws TransferFailure when a
// rule is broken.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "download/TransferPace.h"
#include "platform/Platform.h"
#include "platform/Transfer.h"

namespace pellarion {

// How a transfer failed, which decides what the download does next.
enum class TransferFault {
  Broken,    // the connection failed or the body ended early
  Slow,      // below the pace for a whole window
  Deadline,  // the transfer's own time ran out
  Busy,      // 503 or 429: the server asks to come back later
  Status,    // another status than a success
  Refused,   // not the body asked for: over the cap, another length, an unasked range
  Changed,   // asked to resume, answered with other bytes than the ones kept
  RunOver,   // the run's time ran out
  NoRoom,    // the volume would fall below its reserve
  Mismatch,  // the whole file is not the expected one (its SHA-256)
};

// A transfer that broke a rule: a platform failure of its own kind, so that
// whatever handles those handles this.
class TransferFailure : public PlatformError {
 public:
  TransferFailure(TransferFault fault, std::string why, std::int64_t retryAfterSeconds = -1)
      : PlatformError(std::move(why)), fault_(fault), retryAfterSeconds_(retryAfterSeconds) {}
  TransferFault fault() const { return fault_; }
  // What a busy server's Retry-After asked for, in seconds; -1 when nothing.
  std::int64_t retryAfterSeconds() const { return retryAfterSeconds_; }

 private:
  TransferFault fault_;
  std::int64_t retryAfterSeconds_;
};

// Throws TransferFailure(`fault`) saying `a`, `n1`, `b`, `n2`, `c`: text
// and decimal numbers in turn, a number left out when it is kNoNumber. One
// place builds every message of a transfer, which keeps the program small.
inline constexpr std::int64_t kNoNumber = INT64_MIN;
[[noreturn]] void FailTransfer(TransferFault fault, const char* a, std::int64_t n1 = kNoNumber, const char* b = "",
                               std::int64_t n2 = kNoNumber, const char* c = "", std::int64_t retryAfterSeconds = -1);

struct TransferRules {
  std::int64_t maxBytes = 0;          // the whole file at most
  std::int64_t expectedBytes = -1;    // the whole file exactly, when the caller knows it
  std::int64_t minBytesPerSecond = 1024;
  std::int64_t paceWindowMs = 60000;  // the pace is averaged over this long
  std::int64_t graceMs = 60000;       // the deadline: this, plus the length at the pace
  std::int64_t runDeadlineMs = -1;    // the run's end on the same clock; -1: none
};

// The bytes a resumed request asks for: from `from` to the end of the file of
// `total` bytes that `validator` (an ETag, else a Last-Modified date) names.
struct ResumeRange {
  std::int64_t from = 0;
  std::string validator;
  std::int64_t total = -1;
};

// A decimal number of at most 18 digits and nothing else; -1 otherwise.
std::int64_t ParseLength(const std::string& text);

class TransferPolicy {
 public:
  // `asked`: the range requested (outliving the policy), or nullptr for the
  // whole file.
  TransferPolicy(const TransferRules& rules, std::int64_t startMs, const ResumeRange* asked);

  // Judges the final response's head. Returns true when its body continues
  // the kept bytes (a 206 for exactly the range asked), false when it is the
  // whole file from its first byte.
  bool OnHead(const ResponseHead& head, std::int64_t nowMs);
  // `size` more bytes of the body arrived.
  void OnBody(std::int64_t size, std::int64_t nowMs);
  // Nothing arrived; the rules of time still apply.
  void OnIdle(std::int64_t nowMs);
  // How long from `nowMs` the transport may wait for more before a rule breaks.
  std::int64_t WaitLimitMs(std::int64_t nowMs) const;
  // The transport says the body ended: it must be as long as announced.
  void OnEnd() const;

  // Bytes of the file before this response's body (the kept ones, when resumed).
  std::int64_t offset() const { return offset_; }
  // Body bytes of this response so far.
  std::int64_t received() const { return received_; }
  // The whole file's length as announced; -1 when unknown.
  std::int64_t total() const { return total_; }
  // What names this version of the file for a later resume; empty: none.
  const std::string& validator() const { return validator_; }

 private:
  void CheckTime(std::int64_t nowMs);
  std::int64_t DeadlineMs() const;

  TransferRules rules_;
  std::int64_t startMs_;
  const ResumeRange* asked_;  // nullptr: the whole file
  TransferPace pace_;
  bool headSeen_ = false;
  std::int64_t offset_ = 0, received_ = 0;
  std::int64_t announced_ = -1;  // this body's Content-Length
  std::int64_t total_ = -1;
  std::string validator_;
};

}  // namespace pellarion
