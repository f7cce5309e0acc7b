// libFuzzer target: the line reader, the manifest reader and the release
// description reader on arbitrary text. Values found must be fields of the
// asked line, reading the text in pieces must find what reading it whole
// finds, and a description is read only from the one text that writes it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "versions/LineFile.h"
#include "versions/Manifest.h"
#include "versions/ReleaseDescription.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellarion;
  const std::string text(reinterpret_cast<const char*>(data), size);
  ManifestVariables vars;
  for (const int key : {1, 3, 2, 0, -1}) {
    try {
      TakeManifestLine(ReadFileLine(text, static_cast<std::int16_t>(key)), key, vars);
    } catch (const std::length_error&) {
      continue;  // more lines than the counter holds
    }
    // The value never holds a separator and never comes from a line it was not asked for.
    if (vars.ManifestValue.find('*') != std::string::npos) std::abort();
    if (!vars.ManifestValue.empty() && vars.ManifestLine.find(vars.ManifestValue) == std::string::npos) {
      std::abort();
    }
  }
  const std::int16_t n = size > 0 ? static_cast<std::int16_t>(data[0] % 8) : 1;
  const std::size_t piece = size > 1 ? data[1] % 7 + 1 : 1;
  try {
    const std::string whole = ReadFileLine(text, n);
    if (whole.find('\r') != std::string::npos) std::abort();
    LineFinder finder(n);
    for (std::size_t at = 0; at < size; at += piece) finder.Feed(std::string_view(text).substr(at, piece));
    if (finder.Finish() != whole) std::abort();
  } catch (const std::length_error&) {
  }
  const ReleaseReading release = ReadReleaseDescription(text);
  if (release.description) {
    const ReleaseDescription& d = *release.description;
    if (SignedReleaseText(d) + SignatureLine(d.signature) != text || d.signedLength >= size) std::abort();
  }
  return 0;
}
