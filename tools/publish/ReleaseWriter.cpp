#include "tools/publish/ReleaseWriter.h"

#include <chrono>

#include "gate/FileBytes.h"
#include "gate/Files.h"
#include "versions/VersionRecord.h"

namespace pellarion::publish {

std::uint64_t ChooseRelease(std::optional<std::uint64_t> given, std::optional<std::uint64_t> live,
                            std::int64_t nowUtc) {
  std::uint64_t release = 0;
  if (given) {
    release = *given;
  } else {
    using namespace std::chrono;
    const sys_seconds now{seconds{nowUtc}};
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    release = ((static_cast<std::uint64_t>(static_cast<int>(date.year())) * 100 + unsigned{date.month()}) * 100 +
               unsigned{date.day()}) * 1000000 +
              static_cast<std::uint64_t>(time.hours().count() * 10000 + time.minutes().count() * 100 +
                                         time.seconds().count());
    // A live release numbered by hand (or from a clock ahead of this one)
    // may be higher than the time: counting on from it keeps the order.
    if (live && *live >= release) release = *live + 1;
  }
  if (release == 0 || release > 999999999999999999u) {
    throw PublishError("the release number must be from 1 to 999999999999999999");
  }
  if (live && release <= *live) {
    throw PublishError("release " + std::to_string(release) + " is not higher than the live release " +
                       std::to_string(*live) + ": updaters that have seen it would refuse this one");
  }
  return release;
}

std::optional<std::string> EndOfDayUtc(const std::string& date) {
  const std::string time = date + "T23:59:59Z";
  if (!ParseUtcTime(time)) return std::nullopt;
  return time;
}

PackageEntry EntryOf(Platform& platform, const std::string& path) {
  PackageEntry entry;
  const auto version = ReadVersionRecord(FileBytes(platform, path));
  if (!version) throw PublishError(path + " has no version record");
  entry.version = *version;
  entry.length = static_cast<std::uint64_t>(platform.FileLength(path));
  entry.sha256 = FileSha256(platform, path);
  return entry;
}

std::string SignRelease(const ReleaseDescription& description, const PrivateKey& key) {
  const std::string text = SignedReleaseText(description);
  return text + SignatureLine(key.Sign(text));
}

std::string SignCertificate(const KeyCertificate& certificate, const PrivateKey& root) {
  const std::string text = SignedCertificateText(certificate);
  return text + SignatureLine(root.Sign(text));
}

std::string KeyFingerprint(Platform& platform, const std::string& spki) {
  const auto hash = platform.StartSha256();
  hash->Add(spki.data(), spki.size());
  return "SHA-256 " + HexDigest(hash->Finish());
}

}  // namespace pellarion::publish
