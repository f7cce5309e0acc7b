#include "gate/PackageGate.h"

#include <cctype>
#include <exception>

#include "gate/FileBytes.h"
#include "gate/Files.h"
#include "platform/Joined.h"
#include "versions/ExecutableImage.h"
#include "versions/VersionRecord.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

GateVerdict Refuse(std::string why) { return {false, std::move(why)}; }

// An offer counts only when it starts with a number, as NumericValue reads
// it: otherwise an unreadable manifest field would read as 0 and match a
// package whose version is 0.0.0.0.
bool IsNumericOffer(const std::string& digits) {
  for (const char c : digits) {
    if (c == ' ' || c == '\t' || c == '\n') continue;
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  }
  return false;
}

// The installed file's version, when it has one that can be read.
std::optional<FileVersionNumbers> InstalledVersion(Platform& platform, const std::string& path) {
  try {
    return path.empty() ? std::nullopt : ReadVersionRecord(FileBytes(platform, path));
  } catch (const PlatformError&) {
    return std::nullopt;
  }
}

GateVerdict Check(Platform& platform, const std::string& path, const PackageExpectation& expected,
                  std::unique_ptr<InputFile>* held) {
  if (expected.signatureRequired && expected.signedEntry == nullptr) return Refuse("no signed release describes it");
  std::unique_ptr<InputFile> file = platform.OpenInput(path);
  const FileBytes bytes(*file);
  const ImageVerdict image = CheckWholeExecutable(bytes);
  if (!image.accepted) return Refuse(image.reason);
  const auto version = ReadVersionRecord(bytes);
  if (!version) return Refuse("no version record");
  const std::string digits = VersionDigits(version->Dotted());
  if (!IsNumericOffer(expected.offeredDigits)) {
    return Refuse(Joined({"no version was offered (\"", expected.offeredDigits, "\")"}));
  }
  if (NumericValue(digits) != NumericValue(expected.offeredDigits)) {
    return Refuse(
        Joined({"version ", version->Dotted(), " (", digits, ") is not the offered ", expected.offeredDigits}));
  }
  // The digit comparison takes 3.1.0.12 (31012) for newer than 3.1.1.0
  // (3110); a package is never older than what it replaces.
  if (const auto installed = InstalledVersion(platform, expected.installed); installed && *version <= *installed) {
    return Refuse(Joined({"version ", version->Dotted(), " is not higher than the installed ", installed->Dotted()}));
  }
  std::string reason = Joined({image.reason, " of the offered version ", version->Dotted()});
  if (expected.signedEntry != nullptr) {
    const std::string mismatch =
        CheckPackageEntry(*expected.signedEntry, bytes.Size(), FileSha256(platform, *file), version);
    if (!mismatch.empty()) return Refuse("not the signed release's package: " + mismatch);
    reason += ", the signed release's package";
  }
  if (held != nullptr) *held = std::move(file);
  return {true, reason};
}

}  // namespace

GateVerdict CheckPackage(Platform& platform, const std::string& packagePath, const PackageExpectation& expected,
                         std::unique_ptr<InputFile>* held) {
  try {
    return Check(platform, packagePath, expected, held);
  } catch (const std::exception& e) {
    return Refuse(std::string("cannot check the package: ") + e.what());
  } catch (...) {
    return Refuse("cannot check the package");
  }
}

}  // namespace pellarion
