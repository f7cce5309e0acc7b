#include "app/PackageGate.h"

#include <cctype>
#include <exception>

#include "app/FileBytes.h"
#include "app/Files.h"
#include "versions/ExecutableImage.h"
#include "versions/SignatureText.h"
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

// The whole executable and the offered version, read from one opening of the
// file: a refusal, or what was found.
GateVerdict CheckContents(Platform& platform, const std::string& path,
                          const std::string& offeredDigits) {
  const FileBytes bytes(platform, path);
  const ImageVerdict image = CheckWholeExecutable(bytes);
  if (!image.accepted) return Refuse(image.reason);
  const auto version = ReadVersionRecord(bytes);
  if (!version) return Refuse("no version record");
  const std::string digits = VersionDigits(version->Dotted());
  if (!IsNumericOffer(offeredDigits)) {
    return Refuse("no version was offered (\"" + offeredDigits + "\")");
  }
  if (NumericValue(digits) != NumericValue(offeredDigits)) {
    return Refuse("version " + version->Dotted() + " (" + digits + ") is not the offered " +
                  offeredDigits);
  }
  return {true, image.reason + " of the offered version " + version->Dotted()};
}

}  // namespace

GateVerdict CheckPackage(Platform& platform, const std::string& packagePath,
                         const std::string& offeredDigits, const std::string& publisherKeySpki,
                         const std::optional<std::string>& signatureText) {
  try {
    const GateVerdict contents = CheckContents(platform, packagePath, offeredDigits);
    if (!contents.accepted || publisherKeySpki.empty()) return contents;
    if (!signatureText) return Refuse("no signature beside the package");
    const auto signature = DecodeSignatureText(*signatureText);
    if (!signature) return Refuse("the signature file is not one line of base64");
    if (!platform.VerifySignature(FileSha256(platform, packagePath), *signature, publisherKeySpki)) {
      return Refuse("the signature is not the publisher's for these bytes");
    }
    return {true, contents.reason + ", signed by the publisher"};
  } catch (const std::exception& e) {
    return Refuse(std::string("cannot check the package: ") + e.what());
  } catch (...) {
    return Refuse("cannot check the package");
  }
}

}  // namespace pellarion
