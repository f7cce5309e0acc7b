// What the run compares and takes: the versions of the comparison under way
// and the update server that offers the packages. A value the run owns and
// hands to its steps; nothing of it lives on the window.
#pragma once

#include <string>

#include "versions/ReleaseDescription.h"

namespace pellarion {

// An update server: where its manifest and its two packages are.
struct UpdateServer {
  std::string UL;       // the manifest, /update/update.txt
  std::string Upd;      // the updater's package, /update/update.bin
  std::string txtFrom;  // the application's package, /update/Pellarion.bin

  // The build's scheme ("http" unless it says "https") + "://" + host + the
  // three fixed paths; a `host` that starts with its own scheme
  // ("https://host:port") keeps it.
  static UpdateServer ForHost(const std::string& host);

  const std::string& PackageUrl(PackageRole role) const {
    return role == PackageRole::Application ? txtFrom : Upd;
  }
};

struct Offer {
  const UpdateServer* server = nullptr;  // the one whose manifest the run took (it outlives the offer)
  std::string CU = "0";  // the installed side's version digits
  std::string NU = "0";  // the offered side's; empty or not digits when none could be read
};

}  // namespace pellarion
