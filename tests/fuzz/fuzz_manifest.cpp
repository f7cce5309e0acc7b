// libFuzzer target: the manifest reader and the line reader on arbitrary
// manifests. Values found must be fields of the asked line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/support/FakePlatform.h"
#include "versions/LineFile.h"
#include "versions/Manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellarion;
  const std::string path = "C:\\Pellarion\\update.txt";
  testing::FakePlatform fake;
  fake.AddFile(path, std::string(reinterpret_cast<const char*>(data), size));
  ManifestVariables vars;
  for (const int key : {1, 3, 2, 0, -1, 40000}) {
    ReadManifestValue(fake, path, key, vars);
    // The value never holds a separator and never comes from a line it was not asked for.
    if (vars.ManifestValue.find('*') != std::string::npos) std::abort();
    if (!vars.ManifestValue.empty() && vars.ManifestLine.find(vars.ManifestValue) == std::string::npos) {
      std::abort();
    }
  }
  try {
    const std::string line = ReadFileLine(fake, path, size > 0 ? static_cast<std::int16_t>(data[0] % 8) : 1);
    if (line.find('\r') != std::string::npos) std::abort();
  } catch (const PlatformError&) {
  }
  return 0;
}
