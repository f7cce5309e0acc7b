// Whether a transfer has been too slow for too long: fewer than
// `minBytesPerSecond` on average over the last `windowMs` milliseconds.
// Pure arithmetic on the times and byte counts it is told, so that the rule
// is the same whatever clock or socket feeds it. A window that slides (rather
// than a timer that any byte resets) also stops a trickle of bursts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pellarion {

class TransferPace {
 public:
  TransferPace(std::int64_t startMs, std::int64_t windowMs, std::int64_t minBytesPerSecond)
      : windowMs_(windowMs),
        minBytesPerSecond_(minBytesPerSecond),
        spacingMs_(windowMs / (kSlots - 2) > kMinSpacingMs ? windowMs / (kSlots - 2) : kMinSpacingMs) {
    samples_[0] = {startMs, 0};
  }

  // Records that `totalBytes` have arrived by `nowMs`; true when the last
  // window's worth of time carried too few of them. A transfer younger than
  // one window is never too slow.
  bool TooSlow(std::int64_t nowMs, std::int64_t totalBytes) {
    // Samples spaced out (a quarter second at least, and so that one window
    // holds fewer than the slots) keep the history short however many small
    // reads a fast transfer makes.
    if (nowMs - At(count_ - 1).ms >= spacingMs_) {
      if (count_ == kSlots) Drop();
      At(count_++) = {nowMs, totalBytes};
    }
    // The oldest sample kept is the last one at or before the window's start.
    while (count_ > 1 && At(1).ms <= nowMs - windowMs_) Drop();
    const Sample& from = At(0);
    if (nowMs - from.ms < windowMs_) return false;
    return (totalBytes - from.bytes) * 1000 < minBytesPerSecond_ * (nowMs - from.ms);
  }

  // The first moment from `nowMs` on at which TooSlow would hold if no byte
  // arrived after `totalBytes`: how long a transport may wait for more.
  std::int64_t FailsAtMs(std::int64_t nowMs, std::int64_t totalBytes) const {
    std::int64_t earliest = INT64_MAX;
    for (std::size_t i = 0; i < count_; ++i) {
      const Sample& s = At(i);
      // Sample i is the window's start from s.ms + window until the next
      // sample takes over; within that time the average falls below the
      // rate once (totalBytes - s.bytes) / elapsed < rate.
      const std::int64_t fromMs = s.ms + windowMs_;
      const std::int64_t slowMs = s.ms + (totalBytes - s.bytes) * 1000 / minBytesPerSecond_ + 1;
      std::int64_t at = fromMs > slowMs ? fromMs : slowMs;
      if (at < nowMs) at = nowMs;
      const bool last = i + 1 == count_;
      if ((last || at < At(i + 1).ms + windowMs_) && at < earliest) earliest = at;
    }
    return earliest;
  }

 private:
  static constexpr std::size_t kSlots = 64;
  static constexpr std::int64_t kMinSpacingMs = 250;
  struct Sample {
    std::int64_t ms, bytes;
  };
  Sample& At(std::size_t i) { return samples_[(first_ + i) % kSlots]; }
  const Sample& At(std::size_t i) const { return samples_[(first_ + i) % kSlots]; }
  void Drop() {
    first_ = (first_ + 1) % kSlots;
    --count_;
  }

  std::int64_t windowMs_, minBytesPerSecond_, spacingMs_;
  Sample samples_[kSlots] = {};
  std::size_t first_ = 0, count_ = 1;
};

}  // namespace pellarion
