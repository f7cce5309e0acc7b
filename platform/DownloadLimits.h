// The updater's own limits for one download: how long it waits, how slow a
// transfer may be, and how large a body it accepts.
#pragma once

#include <cstdint>

namespace pellarion {

// The largest package a download accepts unless the build says otherwise.
#ifndef PELLARION_MAX_PACKAGE_BYTES
#define PELLARION_MAX_PACKAGE_BYTES (512LL * 1024 * 1024)
#endif
inline constexpr std::int64_t kMaxPackageBytes = PELLARION_MAX_PACKAGE_BYTES;
// The manifest is three short lines; anything larger is not a manifest.
inline constexpr std::int64_t kMaxManifestBytes = 64 * 1024;

struct DownloadLimits {
  int connectSeconds = 30;       // give up when connecting takes longer
  int stallSeconds = 60;         // give up when slower than minBytesPerSecond for this long
  long minBytesPerSecond = 1024;
  int maxRedirects = 5;
  // A body announced larger is refused on its headers, before a byte is
  // written; a body without a length stops (and fails) at this size.
  std::int64_t maxBytes = kMaxPackageBytes;
};

}  // namespace pellarion
