#include "tools/publish/Verify.h"

#include <filesystem>
#include <optional>

#include "app/Files.h"
#include "app/PackageGate.h"
#include "app/ContinueOnError.h"
#include "tools/publish/Fetch.h"
#include "tools/publish/ManifestCheck.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/SystemFiles.h"
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
// `offeredDigits`.
void CheckOnePackage(Platform& platform, TreeFiles& files, const std::string& relative,
                     const std::string& offeredDigits, const std::string& key, Report& report) {
  std::string why;
  const auto path = files.Get(relative, kMaxPackageBytes, why);
  if (!path) return report.Problem(relative + ": " + why);
  std::string size = "? bytes";
  Try([&] { size = std::to_string(platform.FileLength(*path)) + " bytes"; });

  std::optional<std::string> signature;
  if (!key.empty()) {
    std::string sigWhy;
    if (const auto sigPath = files.Get(relative + ".sig", kMaxSignatureBytes, sigWhy)) {
      Try([&] { signature = ReadSmallFile(platform, *sigPath, kMaxSignatureBytes); });
    }
  }
  const GateVerdict verdict = CheckPackage(platform, *path, offeredDigits, key, signature);
  if (verdict.accepted) return report.Ok(relative + ": " + size + ", " + verdict.reason);
  report.Problem(relative + ": " + size + ", refused: " + verdict.reason);
}

void VerifyServerTree(Platform& platform, TreeFiles& files, const std::string& key, Report& report) {
  std::string why;
  ManifestReading manifest;
  const auto manifestPath = files.Get("update/update.txt", kMaxManifestBytes, why);
  if (!manifestPath) {
    report.Problem("update/update.txt: " + why);
  } else {
    std::string text;
    if (!Try([&] { text = ReadSmallFile(platform, *manifestPath, kMaxManifestBytes); })) {
      report.Problem("update/update.txt: cannot be read, or longer than the updater reads");
    } else {
      manifest = ReadManifest(text);
      for (const auto& problem : manifest.problems) report.Problem("update/update.txt: " + problem);
      if (manifest.problems.empty()) {
        report.Ok("update/update.txt: offers the application " + manifest.application + " and the updater " +
                  manifest.updater + ", 3 identical lines ending CR LF");
      }
    }
  }
  CheckOnePackage(platform, files, "update/Pellarion.bin", manifest.application, key, report);
  CheckOnePackage(platform, files, "update/update.bin", manifest.updater, key, report);
}

// A share offers each file at its own version: the gate checks that it is a
// whole executable with a version record, and its signature.
void VerifyShareTree(Platform& platform, TreeFiles& files, const std::string& key, Report& report) {
  for (const std::string relative : {"Pellarion/pellarion.exe", "Pellarion/update.exe"}) {
    std::string offered;
    Try([&] { offered = VersionDigitsOf(platform, files.Where() + "/" + relative); });
    CheckOnePackage(platform, files, relative, offered, key, report);
  }
}

}  // namespace

bool IsUrl(const std::string& target) {
  return target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0;
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
  if (publisherKeySpki.empty()) out << "note     signatures not checked (no --key given)\n";
  return report.Problems();
}

}  // namespace pellarion::publish
