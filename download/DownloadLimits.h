#pragma once

namespace pellarion {

// The updater's own time limits for one download.
struct DownloadLimits {
  int connectSeconds = 30;  // give up when connecting takes longer
  int stallSeconds = 60;    // give up when no byte arrives for this long
  int maxRedirects = 5;
};

}  // namespace pellarion
