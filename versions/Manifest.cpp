#include "versions/Manifest.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "platform/ContinueOnError.h"
#include "versions/LineFile.h"

namespace pellarion {

void ReadManifestValue(Platform& platform, const std::string& manifestPath, int n,
                       ManifestVariables& vars) {
  vars.ManifestValue.clear();
  bool read = false;
  Try([&] {
    if (n < std::numeric_limits<std::int16_t>::min() || n > std::numeric_limits<std::int16_t>::max()) {
      throw std::overflow_error("manifest key out of range");
    }
    vars.ManifestLine = ReadFileLine(platform, manifestPath, static_cast<std::int16_t>(n));
    read = true;
  });
  // A manifest that cannot be read offers nothing; the line kept from an
  // earlier read is not looked at again.
  if (!read) return;
  Try([&] { vars.ManifestFields = SplitFields(vars.ManifestLine, '*'); });
  int counter = 0;
  for (const std::string& field : vars.ManifestFields) {
    ++counter;
    if (counter == n) vars.ManifestValue = field;
  }
}

}  // namespace pellarion
