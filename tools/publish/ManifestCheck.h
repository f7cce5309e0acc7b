// The manifest a publisher writes and what the updater will read in one.
// The updater takes the application's offer from field 1 of line 1 and the
// updater's from field 3 of line 3; a line ends at CR or CR LF, so a file
// saved with line feeds only is a single line and offers no updater.
#pragma once

#include <string>
#include <vector>

namespace pellarion::publish {

// Three identical lines "APP*APP*UPD", each ended by CR LF.
std::string ManifestText(const std::string& applicationDigits, const std::string& updaterDigits);

struct ManifestReading {
  std::string application;  // what the updater reads as the application's offer
  std::string updater;      // and as the updater's
  std::string lineEnds;     // "CR LF", "LF only", "CR only", "mixed" or "none"
  // What would make the updater read another offer than the publisher meant,
  // or none at all; empty when nothing does.
  std::vector<std::string> problems;
};

ManifestReading ReadManifest(const std::string& text);

}  // namespace pellarion::publish
