// The start of every run: placement where the application is installed,
// one updater per folder, what earlier runs left, the window, the firewall
// and the choice of mode.
#include <iterator>

#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "download/UserAgent.h"
#include "gate/ContinueOnError.h"
#include "gate/Files.h"
#include "platform/TemporaryFiles.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

// The folders where the application is installed on other drives: an
// updater started outside an application folder places itself in those
// that hold the application.
constexpr const char* kInstallFolders[] = {"D:\\Pellarion", "E:\\Pellarion"};

// Every file the run writes in an application folder, and whether it is a
// package whose cut download may be resumed.
constexpr struct {
  const char* name;
  bool package;
} kRunFiles[] = {{"update.txt", false},     {"Pellarion.bin", true}, {"update.bin", true},
                 {"NewVersion.exe", false}, {"Pellarion.exe", false}, {"update.exe", false},
                 {"update.release", false}, {"update.identity", false},
                 {"Pellarion.stopped", false}};

}  // namespace

Ending UpdateRun::StartUp(Mode& mode) {
  std::string version;
  Try([&] { version = FileVersionOf(platform_, RunningExecutable()); });
  Log({"start: ", exeName_, ".exe ", (version.empty() ? "without a version record" : version), " in ", appDir_});
  Try([&] { form_.SetStatusColour(kBlue); });
  if (!TestExists(InAppDir("\\pellarion.exe"))) return PlaceUpdater();

  bool another = false;
  Try([&] { another = platform_.PreviousInstance(); });
  if (another) {
    Log("another updater runs from this folder");
    return RunEnd{Outcome::AnotherRun};
  }
  RemoveLeftovers();
  RestartAfterCutRun();
  ComposeUserAgent(version);

  Try([&] { form_.ShowStatusWindow(); });
  Pump();
  // AddFirewallException: the updater in the current profile and in the
  // standard profile; the two passes are independent.
  FirewallRule rule;
  rule.name = messages::kTitle;  // the firewall entry bears the window's title
  rule.ipVersion = 2;
  rule.processImageFileName = RunningExecutable();
  rule.remoteAddresses = "*";
  rule.scope = 0;
  rule.enabled = true;
  Try([&] { platform_.FirewallAddApplication(FirewallProfile::Current, rule); });
  Try([&] { platform_.FirewallAddApplication(FirewallProfile::Standard, rule); });
  Show(messages::kSearching);
  mode = TestExists(InAppDir("\\format.dll")) ? Mode::Internet : Mode::Share;
  Log(mode == Mode::Internet ? "mode: from the update server (format.dll is here)"
                             : "mode: from the host computer's share (no format.dll)");
  return std::nullopt;
}

RunEnd UpdateRun::PlaceUpdater() {
  Log("no Pellarion.exe here: the updater goes where the application is installed");
  for (const std::string folder : kInstallFolders) {
    const std::string placed = folder + "\\update.exe";
    if (TestExists(folder + "\\pellarion.exe") && MayPlaceOver(placed) &&
        Try([&] { platform_.CopyFileTo(RunningExecutable(), placed); })) {
      Log({"placed the updater as ", Shown(placed)});
    }
  }
  // Every copy is started, the last folder's first, whatever the tests
  // found: a copy planted by an earlier run is started too.
  for (auto folder = std::rbegin(kInstallFolders); folder != std::rend(kInstallFolders); ++folder) {
    StartPlaced(std::string(*folder) + "\\update.exe");
  }
  return {Outcome::Placed};
}

bool UpdateRun::MayPlaceOver(const std::string& placed) {
  bool there = true;
  if (Try([&] { there = platform_.FileExists(placed); }) && !there) return true;
  std::string mine = "0", theirs = "0";
  Try([&] { mine = VersionDigitsOf(platform_, RunningExecutable()); });
  Try([&] { theirs = VersionDigitsOf(platform_, placed); });
  if (IsNewer(mine, theirs)) return true;
  Log({"kept ", Shown(placed), " (", theirs, "): not older than this updater (", mine, ")"});
  return false;
}

void UpdateRun::StartPlaced(const std::string& placed) {
  // What starts is the file that was read: hashed and started through one
  // open file, whatever bears its name in between. A start whose file is
  // missing fails silently.
  std::unique_ptr<ProgramFile> program;
  if (!Try([&] { program = platform_.OpenProgram(placed); })) return;
  if (Keyed()) {
    std::string mine, theirs;
    Try([&] {
      mine = FileSha256(platform_, RunningExecutable());
      theirs = FileSha256(platform_, *program);
    });
    if (mine.empty() || theirs != mine) {
      Log({"did not start ", Shown(placed), ": not this updater"});
      return;
    }
  }
  if (Try([&] { program->Start(WindowState::Minimised); })) Log({"started ", Shown(placed)});
}

void UpdateRun::RemoveLeftovers() {
  std::vector<std::string> names;
  Try([&] { names = platform_.ListFiles(appDir_); });
  for (const std::string& name : names) {
    for (const auto& file : kRunFiles) {
      if (!IsTemporaryOf(name, file.name)) continue;
      if (file.package && clsDownload::KeepsToResume(platform_, InAppDir("\\" + std::string(file.name)), name)) {
        Log({"kept ", name, " to resume its transfer"});
      } else if (Try([&] { platform_.RemoveFile(InAppDir("\\" + name)); })) {
        Log({"removed ", name, ", left by an earlier run"});
      }
    }
  }
}

void UpdateRun::RestartAfterCutRun() {
  bool recorded = false;
  if (!Try([&] { recorded = platform_.FileExists(StoppedRecord()); }) || !recorded) return;
  std::vector<ProcessEntry> running;
  Try([&] { running = platform_.ProcessQuery(InAppDir("\\Pellarion.exe")); });
  Log("an earlier run stopped the application and did not start it again");
  if (!running.empty()) {
    Try([&] { platform_.RemoveFile(StoppedRecord()); });
    return;
  }
  StartApplication(WindowState::Minimised);
}

void UpdateRun::ComposeUserAgent(const std::string& updaterVersion) {
  std::string application = "none";
  Try([&] { application = FileVersionOf(platform_, InAppDir("\\Pellarion.exe")); });
  SystemDescription system;
  Try([&] { system = platform_.DescribeSystem(); });
  userAgent_ = pellarion::ComposeUserAgent(updaterVersion, application, system.system, system.architecture);
}

}  // namespace pellarion
