// Whether a transfer has been too slow for too long: fewer than
// `minBytesPerSecond` on average over the last `windowMs` milliseconds.
// Pure arithmetic on the times and byte counts it is told, so that the rule
// is the same whatever clock or socket feeds it. A window that slides (rather
// than a timer that any byte resets) also stops a trickle of bursts.
#pragma once

#include <cstdint>
#include <deque>

namespace pellarion {

class TransferPace {
 public:
  TransferPace(std::int64_t startMs, std::int64_t windowMs, std::int64_t minBytesPerSecond)
      : windowMs_(windowMs), minBytesPerSecond_(minBytesPerSecond) {
    samples_.push_back({startMs, 0});
  }

  // Records that `totalBytes` have arrived by `nowMs`; true when the last
  // window's worth of time carried too few of them. A transfer younger than
  // one window is never too slow.
  bool TooSlow(std::int64_t nowMs, std::int64_t totalBytes) {
    // Samples at least a quarter second apart keep the history short
    // however many small reads a fast transfer makes.
    if (nowMs - samples_.back().ms >= kSampleSpacingMs) samples_.push_back({nowMs, totalBytes});
    // The oldest sample kept is the last one at or before the window's start.
    while (samples_.size() > 1 && samples_[1].ms <= nowMs - windowMs_) samples_.pop_front();
    const Sample& from = samples_.front();
    if (nowMs - from.ms < windowMs_) return false;
    return (totalBytes - from.bytes) * 1000 < minBytesPerSecond_ * (nowMs - from.ms);
  }

  // The first moment from `nowMs` on at which TooSlow would hold if no byte
  // arrived after `totalBytes`: how long a transport may wait for more.
  std::int64_t FailsAtMs(std::int64_t nowMs, std::int64_t totalBytes) const {
    std::int64_t earliest = INT64_MAX;
    for (std::size_t i = 0; i < samples_.size(); ++i) {
      const Sample& s = samples_[i];
      // Sample i is the window's start from s.ms + window until the next
      // sample takes over; within that time the average falls below the
      // rate once (totalBytes - s.bytes) / elapsed < rate.
      const std::int64_t fromMs = s.ms + windowMs_;
      const std::int64_t slowMs = s.ms + (totalBytes - s.bytes) * 1000 / minBytesPerSecond_ + 1;
      std::int64_t at = fromMs > slowMs ? fromMs : slowMs;
      if (at < nowMs) at = nowMs;
      const bool last = i + 1 == samples_.size();
      if ((last || at < samples_[i + 1].ms + windowMs_) && at < earliest) earliest = at;
    }
    return earliest;
  }

 private:
  static constexpr std::int64_t kSampleSpacingMs = 250;
  struct Sample {
    std::int64_t ms, bytes;
  };
  std::int64_t windowMs_, minBytesPerSecond_;
  std::deque<Sample> samples_;
};

}  // namespace pellarion
