#include "tools/publish/Stage.h"

#include <filesystem>
#include <memory>
#include <optional>

#include "gate/FileBytes.h"
#include "gate/Files.h"
#include "gate/PackageGate.h"
#include "gate/ContinueOnError.h"
#include "tools/publish/DeltaMaker.h"
#include "tools/publish/Fetch.h"
#include "tools/publish/ManifestCheck.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/ReleaseWriter.h"
#include "tools/publish/SystemFiles.h"
#include "tools/publish/TreeWriter.h"
#include "tools/publish/Verify.h"
#include "tools/publish/VersionOrder.h"
#include "versions/ExecutableImage.h"
#include "versions/ReleaseDescription.h"
#include "versions/Versions.h"

namespace pellarion::publish {

namespace fs = std::filesystem;

namespace {

struct Executable {
  std::string path;
  FileVersionNumbers version;
  std::string digits;  // "20055"
};

// The file as the updater's gate sees it when offered the file's own
// version: a whole executable (no DLL, no cut file) with a version record.
Executable CheckExecutable(Platform& platform, const std::string& what, const std::string& path,
                           std::ostream& out) {
  Executable file{fs::absolute(path).lexically_normal().string(), {}, ""};
  if (!fs::is_regular_file(file.path)) throw PublishError(what + " " + path + " is not a file");
  std::optional<FileVersionNumbers> version;
  Try([&] { version = ReadVersionRecord(FileBytes(platform, file.path)); });
  if (version) file.digits = VersionDigits(version->Dotted());
  const GateVerdict verdict = CheckPackage(platform, file.path, {file.digits, "", false, nullptr});
  if (!verdict.accepted || !version) throw PublishError(what + " " + path + " is refused: " + verdict.reason);
  file.version = *version;
  const ImageVerdict image = CheckWholeExecutable(FileBytes(platform, file.path));
  out << what << ": " << file.path << ": " << image.reason << ", version " << file.version.Dotted() << " ("
      << file.digits << ")\n";
  return file;
}

// The text of the live manifest, from its URL (a server's base URL names its
// manifest) or a file.
std::string PreviousManifestText(Platform& platform, const std::string& previous) {
  std::string text;
  if (IsUrl(previous)) {
    const bool named = previous.size() > 4 && previous.compare(previous.size() - 4, 4, ".txt") == 0;
    std::string url = previous;
    if (!named) {
      while (!url.empty() && url.back() == '/') url.pop_back();
      url += "/update/update.txt";
    }
    const std::string pattern = MakeTemporaryFolder("pellarion-previous");
    const std::string path = (fs::path(pattern) / "update.txt").string();
    const DownloadOutcome outcome = Fetch(platform, url, path, kMaxManifestBytes);
    Try([&] { text = ReadSmallFile(platform, path, kMaxManifestBytes); });
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    if (!outcome.fetched) throw PublishError("cannot fetch the previous manifest " + url + ": " + outcome.error);
    return text;
  }
  if (!Try([&] { text = ReadSmallFile(platform, fs::absolute(previous).string(), kMaxManifestBytes); })) {
    throw PublishError("cannot read the previous manifest " + previous);
  }
  return text;
}

// Refuses a file workstations at the live offer would not take. The
// application and the updater are released together, but often only one of
// them changes: an unchanged version beside a newer one is allowed (its
// workstations keep what they have); anything else not taken, or nothing
// newer at all, is refused, unless the stage is signed (`resign`): the same
// files signed again as a new release, to move its expiry, widen or halt its
// rollout. Returns the live release description, when the live manifest has
// one.
std::optional<ReleaseDescription> CompareWithPrevious(Platform& platform, const std::string& previous,
                                                 const Executable& application, const Executable& updater,
                                                 bool resign, std::ostream& out) {
  const std::string text = PreviousManifestText(platform, previous);
  const ManifestReading manifest = ReadManifest(text);
  if (!IsVersionDigits(manifest.application) || !IsVersionDigits(manifest.updater)) {
    std::string why;
    for (const auto& problem : manifest.problems) why += "; " + problem;
    throw PublishError("the previous manifest " + previous + " offers no version to compare with" + why);
  }
  // The live files' own versions are in the release description; without
  // one, only their digits are known.
  const ReleaseReading release = ReadReleaseDescription(text);
  const auto live = [&](const std::string& digits, PackageRole role) {
    return release.description ? LiveVersion{digits, release.description->Entry(role).version, true}
                               : LiveVersion{digits, LowestVersionWithDigits(digits), false};
  };
  const LiveVersion liveApplication = live(manifest.application, PackageRole::Application);
  const LiveVersion liveUpdater = live(manifest.updater, PackageRole::Updater);
  out << "previous manifest: offers the application " << liveApplication.version.Dotted() << " ("
      << manifest.application << ") and the updater " << liveUpdater.version.Dotted() << " (" << manifest.updater
      << ")";
  if (release.description) {
    out << ", release " << release.description->release << ", rollout " << release.description->rollout << " %\n";
  } else {
    out << "\nnote: the previous manifest has no "
        << (release.absent ? "release description" : "readable release description (" + release.problem + ")")
        << ", so the live files' versions are taken to be the lowest with those digits\n";
  }
  struct Pair {
    const char* what;
    const Executable& file;
    const LiveVersion& live;
  };
  const Pair pairs[] = {{"the application", application, liveApplication}, {"the updater", updater, liveUpdater}};
  std::string refusals;
  bool anyNewer = false;
  for (const auto& pair : pairs) {
    const bool same = pair.live.known ? pair.file.version == pair.live.version
                                      : NumericValue(pair.file.digits) == NumericValue(pair.live.digits);
    if (same) {
      out << "note: " << pair.what << " keeps the version " << pair.live.version.Dotted()
          << " already offered; workstations will not download it again\n";
    } else if (WouldBeTaken(pair.file.version, pair.live)) {
      anyNewer = true;
    } else {
      refusals += "\n  " + WhyNotTaken(pair.what, pair.file.version, pair.live);
    }
  }
  if (!anyNewer && refusals.empty() && resign) {
    out << "note: nothing newer than the live offer: the same versions are signed again as a new release\n";
  } else if (!anyNewer && refusals.empty()) {
    refusals = "\n  nothing newer: the application " + application.version.Dotted() + " and the updater " +
               updater.version.Dotted() + " are what the live tree offers already (with --key the same files " +
               "are signed again as a new release)";
  }
  if (!refusals.empty()) throw PublishError("refused, nothing was staged:" + refusals);
  return release.description;
}

// The key certificate in the file `path`, when it certifies the public half
// of `key` and has not expired: its text, as the description carries it.
std::string ReadCertificate(Platform& platform, const std::string& path, const PrivateKey& key, std::ostream& out) {
  std::string text;
  if (!Try([&] { text = ReadSmallFile(platform, fs::absolute(path).string(), 64 * 1024); })) {
    throw PublishError("cannot read the certificate " + path);
  }
  const CertificateReading reading = ReadKeyCertificate(text);
  if (!reading.certificate) throw PublishError(path + ": " + reading.problem);
  const KeyCertificate& c = *reading.certificate;
  if (c.key != key.PublicKeySpki()) {
    throw PublishError("refused, nothing was staged: the certificate " + path + " certifies the release key " +
                       KeyFingerprint(platform, c.key) + ", not the public half of --key (" +
                       KeyFingerprint(platform, key.PublicKeySpki()) + ")");
  }
  if (!c.expires.empty() && *ParseUtcTime(c.expires) < platform.UtcSeconds()) {
    throw PublishError("refused, nothing was staged: the certificate " + path + " expired at " + c.expires);
  }
  out << "certificate: " << path << ": sequence " << c.sequence
      << (c.expires.empty() ? ", no expiry" : ", valid until " + c.expires) << ", release key "
      << KeyFingerprint(platform, c.key) << "\n";
  if (!c.expires.empty()) {
    out << "note: workstations refuse this release once its certificate has expired (" << c.expires << ")\n";
  }
  return text;
}

// An earlier build to make a delta from, and the role of its package.
struct Base {
  Executable file;
  PackageRole role;
  std::string sha256;
};

// The builds of --delta-from, each checked as the packages are and told
// apart by its major version: an earlier application carries the new
// application's, an earlier updater the new updater's. A build of neither,
// or of both (when they share it), one not older than its new package, one
// given twice and too many for a role are refused.
std::vector<Base> CheckBases(Platform& platform, const std::vector<std::string>& paths,
                             const Executable& application, const Executable& updater, std::ostream& out) {
  std::vector<Base> bases;
  std::size_t counts[2] = {};
  for (const std::string& path : paths) {
    Base base{CheckExecutable(platform, "delta base", path, out), PackageRole::Application, ""};
    const std::uint16_t major = base.file.version.major;
    const std::string refused =
        "refused, nothing was staged: the delta base " + path + ", version " + base.file.version.Dotted() + ", ";
    if ((major == application.version.major) == (major == updater.version.major)) {
      throw PublishError(refused + "is not told apart as an earlier build of the application (version " +
                         std::to_string(application.version.major) + ".x) or of the updater (version " +
                         std::to_string(updater.version.major) + ".x)");
    }
    if (major == updater.version.major) base.role = PackageRole::Updater;
    const bool ofApplication = base.role == PackageRole::Application;
    const Executable& next = ofApplication ? application : updater;
    if (!(base.file.version < next.version)) {
      throw PublishError(refused + "is not older than the " + (ofApplication ? "application " : "updater ") +
                         next.version.Dotted() + " it would make");
    }
    base.sha256 = FileSha256(platform, base.file.path);
    for (const Base& other : bases) {
      if (other.sha256 == base.sha256) throw PublishError(refused + "is the same file as " + other.file.path);
    }
    if (++counts[ofApplication ? 0 : 1] > kMaxDeltas) {
      throw PublishError(refused + "is one more than the " + std::to_string(kMaxDeltas) + " a role may have");
    }
    bases.push_back(std::move(base));
  }
  return bases;
}

// Writes the delta from each base beside its package in `tree` and lists it
// in `release`, unless it is no smaller than the package; adds each file
// written to `order`.
void MakeDeltas(Platform& platform, const std::vector<Base>& bases, const Executable& application,
                const Executable& updater, StagingTree& tree, ReleaseDescription& release,
                std::vector<std::string>& order, std::ostream& out) {
  for (const Base& base : bases) {
    const bool ofApplication = base.role == PackageRole::Application;
    const std::string relative = DeltaPath(base.role, base.sha256);
    const Executable& next = ofApplication ? application : updater;
    const DeltaFile made = MakeDelta(platform, base.file.path, next.path, tree.PathOf(relative));
    const auto whole = static_cast<std::int64_t>(release.Entry(base.role).length);
    out << (made.length < whole ? "delta: " : "note: not listed, no smaller than its package: ") << relative
        << " from " << base.file.version.Dotted() << " to " << next.version.Dotted() << ", " << made.length
        << " bytes instead of " << whole << "\n";
    if (made.length >= whole) {
      RemoveIfThere(tree.PathOf(relative));
      continue;
    }
    (ofApplication ? release.applicationDeltas : release.updaterDeltas)
        .push_back({base.sha256, static_cast<std::uint64_t>(made.length), made.sha256});
    order.push_back(relative);
  }
}

// Refuses an expiry that has passed: every updater would refuse the release
// at once and stop updating.
void CheckExpiry(Platform& platform, const std::string& expires) {
  if (expires.empty()) return;
  const auto end = EndOfDayUtc(expires);
  if (!end) throw PublishError("the expiry " + expires + " is not a date YYYY-MM-DD");
  if (*ParseUtcTime(*end) < platform.UtcSeconds()) {
    throw PublishError("refused, nothing was staged: the expiry " + expires +
                       " has passed (the release would be void from the start, and every updater would refuse it)");
  }
}

}  // namespace

void Stage(Platform& platform, const StageRequest& request, std::ostream& out) {
  // Every refusal comes before anything is written.
  CheckExpiry(platform, request.expires);
  std::unique_ptr<PrivateKey> key;
  if (!request.privateKey.empty()) key = std::make_unique<PrivateKey>(request.privateKey);
  std::string certificate;
  if (!request.certificate.empty()) {
    if (!key) throw PublishError("a certificate describes the key that signs: it needs the release key's private half");
    certificate = ReadCertificate(platform, request.certificate, *key, out);
  }
  const Executable application = CheckExecutable(platform, "application", request.application, out);
  const Executable updater = CheckExecutable(platform, "updater", request.updater, out);
  const std::vector<Base> bases = CheckBases(platform, request.deltaFrom, application, updater, out);
  std::optional<ReleaseDescription> live;
  if (!request.previous.empty()) {
    live = CompareWithPrevious(platform, request.previous, application, updater, key != nullptr, out);
  }

  // The manifest, followed with a key by the signed release description
  // (signed once the deltas it lists are made).
  ReleaseDescription release;
  std::string signedAs = "unsigned";
  if (key) {
    release.release = ChooseRelease(request.release, live ? std::optional(live->release) : std::nullopt,
                                    platform.UtcSeconds());
    release.channels = request.channels;
    if (release.channels.empty()) release.channels = {std::string(request.share ? kShareChannel : kServerChannel)};
    if (!request.expires.empty()) release.expires = *EndOfDayUtc(request.expires);
    release.rollout = request.rollout;
    release.certificate = certificate;
    release.application = EntryOf(platform, application.path);
    release.updater = EntryOf(platform, updater.path);
    // The same packages keep each workstation's draw: a larger rollout adds
    // workstations to those that took the release, a smaller one adds none.
    if (live && live->rollout != release.rollout) {
      const bool same = live->application.sha256 == release.application.sha256 &&
                        live->updater.sha256 == release.updater.sha256;
      out << "note: the rollout goes from " << live->rollout << " % to " << release.rollout << " %"
          << (same ? " of the same packages" : "; other packages: every workstation draws afresh") << "\n";
    }
    std::string channels;
    for (const std::string& channel : release.channels) channels += " " + channel;
    signedAs = "signed release " + std::to_string(release.release) + " for" + channels + ", rollout " +
               std::to_string(release.rollout) + " %" +
               (release.expires.empty() ? "" : ", valid until " + release.expires) +
               (certificate.empty() ? "" : ", by the certified release key");
  }
  const auto manifest = [&] {
    return key ? SignRelease(release, *key) : ManifestText(application.digits, updater.digits);
  };

  // What goes where, in the order the files appear. On the server the
  // manifest comes last, so that it never offers a package that is not there
  // yet. The share has no manifest (the updater compares the share's files
  // themselves): its description comes first, so that a file never appears
  // before the release that describes it.
  StagingTree tree(request.out);
  std::vector<std::string> order, stale;
  if (request.share) {
    if (key) {
      tree.WriteIn("Pellarion/update.txt", manifest());
      order.push_back("Pellarion/update.txt");
    } else {
      stale.push_back("Pellarion/update.txt");  // it describes the files replaced
    }
    tree.CopyIn(updater.path, "Pellarion/update.exe");
    tree.CopyIn(application.path, "Pellarion/pellarion.exe");
    order.insert(order.end(), {"Pellarion/update.exe", "Pellarion/pellarion.exe"});
  } else {
    tree.CopyIn(application.path, "update/Pellarion.bin");
    tree.CopyIn(updater.path, "update/update.bin");
    order = {"update/Pellarion.bin", "update/update.bin"};
    MakeDeltas(platform, bases, application, updater, tree, release, order, out);
    tree.WriteIn("update/update.txt", manifest());
    order.push_back("update/update.txt");
  }
  // The tree is checked where it was written, so that one the updater would
  // refuse never replaces a live one.
  const int problems = VerifyTree(platform, tree.Folder(), key ? key->PublicKeySpki() : "", out);
  if (problems != 0) {
    throw PublishError("refused, nothing was staged: the staged tree has " + std::to_string(problems) +
                       (problems == 1 ? " problem" : " problems") + " (above)");
  }
  tree.MoveIntoPlace(order, stale);
  out << "staged " << fs::absolute(request.out).lexically_normal().string() << ": the application "
      << application.version.Dotted() << ", the updater " << updater.version.Dotted() << ", " << signedAs << "\n";
}

}  // namespace pellarion::publish
