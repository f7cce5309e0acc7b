#include "tools/publish/ManifestCheck.h"

#include "versions/LineFile.h"
#include "versions/Manifest.h"
#include "versions/Versions.h"

namespace pellarion::publish {

std::string ManifestText(const std::string& applicationDigits, const std::string& updaterDigits) {
  const std::string line = applicationDigits + "*" + applicationDigits + "*" + updaterDigits + "\r\n";
  return line + line + line;
}

namespace {

std::string LineEnds(const std::string& text) {
  std::size_t crlf = 0, lf = 0, cr = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++crlf;
      ++i;
    } else if (text[i] == '\r') {
      ++cr;
    } else if (text[i] == '\n') {
      ++lf;
    }
  }
  const int kinds = (crlf > 0) + (lf > 0) + (cr > 0);
  if (kinds == 0) return "none";
  if (kinds > 1) return "mixed";
  return crlf > 0 ? "CR LF" : lf > 0 ? "LF only" : "CR only";
}

}  // namespace

ManifestReading ReadManifest(const std::string& text) {
  ManifestReading reading;
  ManifestVariables vars;
  TakeManifestLine(ReadFileLine(text, 1), 1, vars);
  reading.application = vars.ManifestValue;
  TakeManifestLine(ReadFileLine(text, 3), 3, vars);
  reading.updater = vars.ManifestValue;
  reading.lineEnds = LineEnds(text);

  if (text.find('\n') != std::string::npos && reading.lineEnds != "CR LF") {
    reading.problems.push_back("line ends are " + reading.lineEnds +
                               ": a lone line feed does not end a line for the updater");
  }
  const std::string line1 = ReadFileLine(text, 1);
  if (ReadFileLine(text, 2) != line1 || ReadFileLine(text, 3) != line1) {
    reading.problems.push_back("lines 1 to 3 are not the same line");
  }
  if (!IsVersionDigits(reading.application)) {
    reading.problems.push_back("no application version in field 1 of line 1 (\"" + reading.application + "\")");
  }
  if (!IsVersionDigits(reading.updater)) {
    reading.problems.push_back("no updater version in field 3 of line 3 (\"" + reading.updater + "\")");
  }
  return reading;
}

}  // namespace pellarion::publish
