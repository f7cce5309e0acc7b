#include "versions/Manifest.h"

#include "versions/LineFile.h"

namespace pellarion {

void TakeManifestLine(const std::string& line, int n, ManifestVariables& vars) {
  vars.ManifestValue.clear();
  vars.ManifestLine = line;
  vars.ManifestFields = SplitFields(vars.ManifestLine, '*');
  int counter = 0;
  for (const std::string& field : vars.ManifestFields) {
    ++counter;
    if (counter == n) vars.ManifestValue = field;
  }
}

}  // namespace pellarion
