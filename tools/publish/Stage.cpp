#include "tools/publish/Stage.h"

#include <filesystem>
#include <memory>
#include <optional>

#include "gate/FileBytes.h"
#include "gate/Files.h"
#include "gate/PackageGate.h"
#include "gate/ContinueOnError.h"
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
  std::string dotted;  // "2.0.0.55"
  std::string digits;  // "20055"
};

// The file as the updater's gate sees it when offered the file's own
// version: a whole executable (no DLL, no cut file) with a version record.
Executable CheckExecutable(Platform& platform, const std::string& what, const std::string& path,
                           std::ostream& out) {
  Executable file{fs::absolute(path).lexically_normal().string(), "", ""};
  if (!fs::is_regular_file(file.path)) throw PublishError(what + " " + path + " is not a file");
  Try([&] { file.dotted = FileVersionOf(platform, file.path); });
  file.digits = VersionDigits(file.dotted);
  const GateVerdict verdict = CheckPackage(platform, file.path, {file.digits, "", false, nullptr});
  if (!verdict.accepted) throw PublishError(what + " " + path + " is refused: " + verdict.reason);
  const ImageVerdict image = CheckWholeExecutable(FileBytes(platform, file.path));
  out << what << ": " << file.path << ": " << image.reason << ", version " << file.dotted << " (" << file.digits
      << ")\n";
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

// Refuses a file the updater would not take for newer than the live offer.
// The application and the updater are released together, but often only one
// of them changes: an unchanged version beside a newer one is allowed (its
// workstations keep what they have); a lower one, or nothing newer at all,
// is refused, unless the stage is signed (`resign`): the same files signed
// again as a new release, to move its expiry. Returns the live release
// number, when the live manifest has a release description.
std::optional<std::uint64_t> CompareWithPrevious(Platform& platform, const std::string& previous,
                                                 const Executable& application, const Executable& updater,
                                                 bool resign, std::ostream& out) {
  const std::string text = PreviousManifestText(platform, previous);
  const ManifestReading live = ReadManifest(text);
  if (!IsVersionDigits(live.application) || !IsVersionDigits(live.updater)) {
    std::string why;
    for (const auto& problem : live.problems) why += "; " + problem;
    throw PublishError("the previous manifest " + previous + " offers no version to compare with" + why);
  }
  out << "previous manifest: offers the application " << live.application << " and the updater "
      << live.updater << "\n";
  struct Pair {
    const char* what;
    const Executable& file;
    const std::string& offered;
  };
  const Pair pairs[] = {{"the application", application, live.application},
                        {"the updater", updater, live.updater}};
  std::string refusals;
  bool anyNewer = false;
  for (const auto& pair : pairs) {
    const std::string why = WhyNotOffered(pair.what, pair.file.dotted, pair.offered);
    if (why.empty()) {
      anyNewer = true;
    } else if (NumericValue(pair.file.digits) < NumericValue(pair.offered)) {
      refusals += "\n  " + why;
    } else {
      out << "note: " << pair.what << " keeps the version " << pair.offered
          << " already offered; workstations will not download it again\n";
    }
  }
  if (!anyNewer && refusals.empty() && resign) {
    out << "note: nothing newer than the live offer: the same versions are signed again as a new release\n";
  } else if (!anyNewer && refusals.empty()) {
    for (const auto& pair : pairs) refusals += "\n  " + WhyNotOffered(pair.what, pair.file.dotted, pair.offered);
  }
  if (!refusals.empty()) throw PublishError("refused, nothing was staged:" + refusals);
  const ReleaseReading release = ReadReleaseDescription(text);
  if (!release.description) return std::nullopt;
  out << "previous manifest: release " << release.description->release << "\n";
  return release.description->release;
}

}  // namespace

int Stage(Platform& platform, const StageRequest& request, std::ostream& out) {
  const Executable application = CheckExecutable(platform, "application", request.application, out);
  const Executable updater = CheckExecutable(platform, "updater", request.updater, out);
  std::optional<std::uint64_t> live;
  if (!request.previous.empty()) {
    live = CompareWithPrevious(platform, request.previous, application, updater, !request.privateKey.empty(), out);
  }
  std::unique_ptr<PrivateKey> key;
  if (!request.privateKey.empty()) {
    key = std::make_unique<PrivateKey>(request.privateKey);
  } else if (request.release || !request.expires.empty()) {
    throw PublishError("--release and --expires describe a signed release: they need --key");
  }

  // The manifest, followed with a key by the signed release description.
  std::string manifest = ManifestText(application.digits, updater.digits);
  std::string signedAs = "unsigned";
  if (key) {
    ReleaseDescription release;
    release.release = ChooseRelease(request.release, live, platform.UtcSeconds());
    release.channels = {std::string(request.share ? kShareChannel : kServerChannel)};
    if (!request.expires.empty()) release.expires = EndOfDayUtc(request.expires);
    release.application = EntryOf(platform, application.path);
    release.updater = EntryOf(platform, updater.path);
    manifest = SignRelease(release, *key);
    signedAs = "signed release " + std::to_string(release.release) +
               (release.expires.empty() ? "" : ", valid until " + release.expires);
  }

  // What goes where, in the order the files appear. On the server the
  // manifest comes last, so that it never offers a package that is not there
  // yet. The share has no manifest (the updater compares the share's files
  // themselves): its description comes first, so that a file never appears
  // before the release that describes it.
  StagingTree tree(request.out);
  std::vector<std::string> order, stale;
  if (request.share) {
    if (key) {
      tree.WriteIn("Pellarion/update.txt", manifest);
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
    tree.WriteIn("update/update.txt", manifest);
    order = {"update/Pellarion.bin", "update/update.bin", "update/update.txt"};
  }
  tree.MoveIntoPlace(order, stale);
  out << "staged " << fs::absolute(request.out).lexically_normal().string() << ": the application "
      << application.digits << ", the updater " << updater.digits << ", " << signedAs << "\n";
  return VerifyTree(platform, request.out, key ? key->PublicKeySpki() : "", out);
}

}  // namespace pellarion::publish
