// The update manifest, update.txt: lines of fields separated by "*". The
// value for key n is field n of line n: key 1 is the application's version
// digits on the server, key 3 the updater's.
#pragma once

#include <string>
#include <vector>

namespace pellarion {

class Platform;

// The manifest reader's variables, kept on the window for the whole run.
struct ManifestVariables {
  std::string ManifestLine;                 // the last line read
  std::vector<std::string> ManifestFields;  // its fields
  std::string ManifestValue;                // the value for the last key asked
};

// Sets vars.ManifestValue to the value for key `n` of the manifest at
// `manifestPath`. Every step runs under the continue-on-error rule. The value
// is emptied before the lookup, so a key the manifest lacks, or a manifest
// that cannot be read, reads as empty (which counts as 0), never as the value
// of an earlier key or line.
void ReadManifestValue(Platform& platform, const std::string& manifestPath, int n,
                       ManifestVariables& vars);

}  // namespace pellarion
