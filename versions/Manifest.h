// The update manifest, update.txt: lines of fields separated by "*". The
// value for key n is field n of line n: key 1 is the application's version
// digits on the server, key 3 the updater's.
#pragma once

#include <string>
#include <vector>

namespace pellarion {

// The manifest reader's variables, kept on the window for the whole run.
struct ManifestVariables {
  std::string ManifestLine;                 // the last line read
  std::vector<std::string> ManifestFields;  // its fields
  std::string ManifestValue;                // the value for the last key asked
};

// Takes `line`, line n of the manifest, into vars: ManifestLine, its fields,
// and ManifestValue = field n, or empty when the line has fewer fields (never
// the value of an earlier key).
void TakeManifestLine(const std::string& line, int n, ManifestVariables& vars);

}  // namespace pellarion
