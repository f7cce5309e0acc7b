#include "tools/publish/Verify.h"

#include <filesystem>
#include <optional>

#include "download/DeltaPatch.h"
#include "gate/Files.h"
#include "gate/PackageGate.h"
#include "gate/ContinueOnError.h"
#include "gate/SignedRelease.h"
#include "tools/publish/Fetch.h"
#include "tools/publish/ManifestCheck.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/ReleaseWriter.h"
#include "tools/publish/SystemFiles.h"
#include "versions/ReleaseDescription.h"
#include "versions/Versions.h"

namespace pellarion::publish {

namespace fs = std::filesystem;

namespace {

// Where the files of the tree are read: a folder, or a URL whose files are
// fetched into a private temporary folder first.
class TreeFiles {
 public:
  TreeFiles(Platform& platform, const std::string& target) : platform_(platform) {
    if (IsUrl(target)) {
      base_ = target;
      while (!base_.empty() && base_.back() == '/') base_.pop_back();
      local_ = MakeTemporaryFolder("pellarion-verify");
    } else {
      local_ = fs::absolute(target).lexically_normal().string();
    }
  }
  ~TreeFiles() {
    if (base_.empty()) return;
    std::error_code ignored;
    fs::remove_all(local_, ignored);
  }
  TreeFiles(const TreeFiles&) = delete;
  TreeFiles& operator=(const TreeFiles&) = delete;

  const std::string& Where() const { return base_.empty() ? local_ : base_; }
  // The URL of `relative` on the server; empty for a folder.
  std::string Url(const std::string& relative) const { return base_.empty() ? "" : base_ + "/" + relative; }

  // The local path of `relative` ("update/update.txt"), fetched first from a
  // URL; nothing, and `why` says why, when it is not there.
  std::optional<std::string> Get(const std::string& relative, std::int64_t maxBytes, std::string& why) {
    const std::string path = local_ + "/" + relative;
    if (!base_.empty()) {
      std::error_code ignored;
      fs::create_directories(fs::path(path).parent_path(), ignored);
      const DownloadOutcome outcome = Fetch(platform_, base_ + "/" + relative, path, maxBytes);
      if (!outcome.fetched) {
        why = "not fetched: " + outcome.error;
        return std::nullopt;
      }
      return path;
    }
    bool exists = false;
    if (!Try([&] { exists = platform_.FileExists(path); }) || !exists) {
      why = "missing";
      return std::nullopt;
    }
    return path;
  }

 private:
  Platform& platform_;
  std::string base_;   // the server's base URL, empty for a folder
  std::string local_;  // the folder the files are read from
};

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Ok(const std::string& text) { out_ << "ok       " << text << "\n"; }
  void Problem(const std::string& text) {
    out_ << "PROBLEM  " << text << "\n";
    ++problems_;
  }
  int Problems() const { return problems_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};

// One package through the gate, as the updater would take it when offered
// `offeredDigits`, and against its role's entry when the tree has a
// description.
void CheckOnePackage(Platform& platform, TreeFiles& files, const std::string& relative,
                     const std::string& offeredDigits, const PackageEntry* entry, Report& report) {
  std::string why;
  const auto path = files.Get(relative, kMaxPackageBytes, why);
  if (!path) return report.Problem(relative + ": " + why);
  std::string size = "? bytes";
  Try([&] { size = std::to_string(platform.FileLength(*path)) + " bytes"; });
  const GateVerdict verdict = CheckPackage(platform, *path, {offeredDigits, "", false, entry});
  if (verdict.accepted) return report.Ok(relative + ": " + size + ", " + verdict.reason);
  report.Problem(relative + ": " + size + ", refused: " + verdict.reason);
}

// The release description in `text` (the file `relative`), read from
// `where`: what it says, and with `key` (the root key's, or the release key
// its certificate names) whether it is signed by it and still valid. Nothing
// when the tree has none or it cannot be read.
std::optional<ReleaseDescription> CheckDescription(Platform& platform, const std::string& relative,
                                                   const std::string& text, const std::string& key,
                                                   ReadFrom where, Report& report) {
  const ReleaseReading reading = ReadReleaseDescription(text);
  if (!reading.description) {
    if (reading.absent && key.empty()) return std::nullopt;
    report.Problem(relative + ": " + reading.problem);
    return std::nullopt;
  }
  const ReleaseDescription& d = *reading.description;
  std::string channels;
  for (const std::string& channel : d.channels) channels += " " + channel;
  report.Ok(relative + ": release " + std::to_string(d.release) +
            (d.expires.empty() ? ", no expiry" : ", expires " + d.expires) + ", rollout " +
            std::to_string(d.rollout) + " %, for" + channels);
  for (const auto role : {PackageRole::Application, PackageRole::Updater}) {
    const PackageEntry& entry = d.Entry(role);
    report.Ok(relative + ": " + (role == PackageRole::Application ? "application " : "updater ") +
              entry.version.Dotted() + ", " + std::to_string(entry.length) + " bytes, SHA-256 " +
              HexDigest(entry.sha256));
  }
  // A server's tree in a folder may be served under any host name it names.
  if (where.channel == kServerChannel && where.host.empty()) {
    for (const std::string& channel : d.channels) {
      if (channel != kShareChannel) where.host = channel;
    }
  }
  if (std::string why = CheckChannel(d, where); !why.empty()) report.Problem(relative + ": " + why);
  std::optional<KeyCertificate> certificate;
  if (!d.certificate.empty()) {
    const CertificateReading c = ReadKeyCertificate(d.certificate);
    if (!c.certificate) {
      report.Problem(relative + ": " + c.problem);
    } else {
      certificate = c.certificate;
      report.Ok(relative + ": certificate sequence " + std::to_string(c.certificate->sequence) +
                (c.certificate->expires.empty() ? ", no expiry" : ", expires " + c.certificate->expires) +
                ", release key " + KeyFingerprint(platform, c.certificate->key));
    }
  }
  if (key.empty()) return reading.description;
  std::string why;
  try {
    if (certificate && certificate->key == key) {
      // The release key itself, as stage checks what it signed: the
      // certificate's own signature needs the root key.
      why = SignedBy(platform, text, d.signedLength, d.signature, key) ? "" : "the signature is not the release key's";
      if (why.empty()) why = CheckReleaseCurrent(d, 0, platform.UtcSeconds());
      if (why.empty()) report.Ok(relative + ": signed by the certified release key (its certificate is checked "
                                            "with the root's public key)");
    } else {
      // The channel was judged above.
      why = TrustRelease(platform, text, key, {}, {d.channels.front(), ""}).reason;
      if (why.empty()) report.Ok(relative + (certificate ? ": signed by a release key the root key certified"
                                                         : ": signed by the publisher"));
    }
  } catch (const std::exception& e) {
    why = std::string("cannot check the signature: ") + e.what();
  }
  if (!why.empty()) report.Problem(relative + ": " + why);
  return reading.description;
}

// The text of `relative`, or nothing when it is missing (`missing` says
// whether that is a problem) or cannot be read.
std::optional<std::string> ReadText(Platform& platform, TreeFiles& files, const std::string& relative,
                                    bool missingIsProblem, Report& report) {
  std::string why, text;
  const auto path = files.Get(relative, kMaxManifestBytes, why);
  if (!path) {
    if (missingIsProblem) report.Problem(relative + ": " + why);
    return std::nullopt;
  }
  if (!Try([&] { text = ReadSmallFile(platform, *path, kMaxManifestBytes); })) {
    report.Problem(relative + ": cannot be read, or longer than the updater reads");
    return std::nullopt;
  }
  return text;
}

const PackageEntry* EntryOf(const std::optional<ReleaseDescription>& d, PackageRole role) {
  return d ? &d->Entry(role) : nullptr;
}

// A delta the description lists for `role`: its file beside the package, of
// the signed length and SHA-256, and one zstd frame that states the
// package's length. What it makes needs its base, which only workstations
// have; they check the result against the package's entry.
void CheckDelta(Platform& platform, TreeFiles& files, PackageRole role, const DeltaEntry& delta,
                const PackageEntry& package, Report& report) {
  const std::string relative = DeltaPath(role, delta.baseSha256);
  std::string why;
  const auto path = files.Get(relative, static_cast<std::int64_t>(delta.length), why);
  if (!path) return report.Problem(relative + ": " + why);
  std::string problem;
  try {
    const auto file = platform.OpenInput(*path);
    const std::uint64_t length = file->Size(), stated = DeltaResultLength(*file);
    if (length != delta.length) {
      problem = "its length " + std::to_string(length) + " is not the signed " + std::to_string(delta.length);
    } else if (FileSha256(platform, *path) != delta.sha256) {
      problem = "its SHA-256 is not the signed one";
    } else if (stated != package.length) {
      problem = "it makes " + std::to_string(stated) + " bytes, not the package's " + std::to_string(package.length);
    }
  } catch (const std::exception& error) {
    problem = error.what();
  }
  if (!problem.empty()) return report.Problem(relative + ": " + problem);
  report.Ok(relative + ": " + std::to_string(delta.length) + " bytes, the signed delta to the " +
            (role == PackageRole::Application ? "application " : "updater ") + package.version.Dotted() +
            " from the file with SHA-256 " + HexDigest(delta.baseSha256));
}

void VerifyServerTree(Platform& platform, TreeFiles& files, const std::string& key, Report& report) {
  ManifestReading manifest;
  std::optional<ReleaseDescription> release;
  if (const auto text = ReadText(platform, files, "update/update.txt", true, report)) {
    manifest = ReadManifest(*text);
    for (const auto& problem : manifest.problems) report.Problem("update/update.txt: " + problem);
    if (manifest.problems.empty()) {
      report.Ok("update/update.txt: offers the application " + manifest.application + " and the updater " +
                manifest.updater + ", 3 identical lines ending CR LF");
    }
    release = CheckDescription(platform, "update/update.txt", *text, key,
                               ReadFromServer(files.Url("update/update.txt")), report);
  }
  CheckOnePackage(platform, files, "update/Pellarion.bin", manifest.application,
                  EntryOf(release, PackageRole::Application), report);
  CheckOnePackage(platform, files, "update/update.bin", manifest.updater, EntryOf(release, PackageRole::Updater),
                  report);
  if (!release) return;
  for (const auto role : {PackageRole::Application, PackageRole::Updater}) {
    for (const DeltaEntry& delta : release->Deltas(role)) {
      CheckDelta(platform, files, role, delta, release->Entry(role), report);
    }
  }
}

// A share offers each file at its own version: the gate checks that it is a
// whole executable with a version record, and that it is the package the
// description names for its role.
void VerifyShareTree(Platform& platform, TreeFiles& files, const std::string& key, Report& report) {
  std::optional<ReleaseDescription> release;
  if (const auto text = ReadText(platform, files, "Pellarion/update.txt", !key.empty(), report)) {
    release = CheckDescription(platform, "Pellarion/update.txt", *text, key, {kShareChannel, ""}, report);
  }
  const std::pair<const char*, PackageRole> packages[] = {{"Pellarion/pellarion.exe", PackageRole::Application},
                                                          {"Pellarion/update.exe", PackageRole::Updater}};
  for (const auto& [relative, role] : packages) {
    std::string offered;
    Try([&] { offered = VersionDigitsOf(platform, files.Where() + "/" + relative); });
    CheckOnePackage(platform, files, relative, offered, EntryOf(release, role), report);
  }
}

}  // namespace

bool IsUrl(const std::string& target) {
  return target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0;
}

std::string DeltaPath(PackageRole role, const std::string& baseSha256) {
  return "update/" + DeltaFileName(role == PackageRole::Application ? "Pellarion.bin" : "update.bin", baseSha256);
}

int VerifyTree(Platform& platform, const std::string& target, const std::string& publisherKeySpki,
               std::ostream& out) {
  TreeFiles files(platform, target);
  Report report(out);
  const bool server = IsUrl(target) || fs::is_directory(files.Where() + "/update");
  const bool share = !IsUrl(target) && fs::is_directory(files.Where() + "/Pellarion");
  if (!server && !share) {
    throw PublishError(target + " is neither a server's URL nor a folder holding update/ or Pellarion/");
  }
  if (server) VerifyServerTree(platform, files, publisherKeySpki, report);
  if (share) VerifyShareTree(platform, files, publisherKeySpki, report);
  if (publisherKeySpki.empty()) out << "note     the signature is not checked (no --key given)\n";
  return report.Problems();
}

}  // namespace pellarion::publish
