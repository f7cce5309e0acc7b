// The updater's own limits for one download (how long it waits, how slow a
// transfer may be, how large a body it accepts) and what the caller knows of
// the file and of the run it belongs to.
#pragma once

#include <cstdint>
#include <string>

namespace pellarion {

// The largest package a download accepts unless the build says otherwise.
#ifndef PELLARION_MAX_PACKAGE_BYTES
#define PELLARION_MAX_PACKAGE_BYTES (512LL * 1024 * 1024)
#endif
inline constexpr std::int64_t kMaxPackageBytes = PELLARION_MAX_PACKAGE_BYTES;
// The manifest is three short lines; anything larger is not a manifest.
inline constexpr std::int64_t kMaxManifestBytes = 64 * 1024;

struct DownloadLimits {
  int connectSeconds = 30;  // give up when connecting takes longer
  // Give up when fewer than minBytesPerSecond arrived on average over the
  // last stallSeconds (a sliding window: a trickle of bursts is too slow too).
  int stallSeconds = 60;
  long minBytesPerSecond = 1024;
  // Give up when the transfer takes longer than this plus its length at
  // minBytesPerSecond.
  int graceSeconds = 60;
  int maxRedirects = 5;
  // A body announced larger is refused on its headers, before a byte is
  // written; a body without a length stops (and fails) at this size.
  std::int64_t maxBytes = kMaxPackageBytes;

  // --- What the caller knows of the file (texts outlive the download) ---
  // Its exact length and SHA-256 (32 raw bytes); -1 and nothing when unknown.
  std::int64_t expectedBytes = -1;
  const std::string* expectedSha256 = nullptr;
  // A package: a transfer that fails after some bytes keeps them (and what
  // resuming needs) beside the target, and resumes from them in this run and
  // the next, as long as the caller names the same `offer`.
  bool resumable = false;
  const char* offer = "";
  // A package: a busy server that says when to come back (Retry-After) is
  // asked again for as long as the run lasts, not only 3 times, so that a
  // run outlasts a server's queue.
  bool waitsOutBusy = false;

  // --- The run's ---
  const char* userAgent = "";       // sent with every request
  std::int64_t runDeadlineMs = -1;  // on the platform's MonotonicMs clock; -1: none
  std::uint32_t jitter = 0;         // the run's random number: where in each back-off it comes back
};

}  // namespace pellarion
