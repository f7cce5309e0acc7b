// The update run: the one sequence every start of the updater performs, from
// the placement checks to the end of the process. It reads as the steps it
// takes; each statement runs under the continue-on-error rule (Try).
#pragma once

#include <optional>
#include <string>

#include "app/ExitCodes.h"
#include "app/Form1.h"
#include "app/PackageGate.h"
#include "app/PublisherKey.h"
#include "app/RunLog.h"
#include "download/DownloadService.h"
#include "platform/Platform.h"

namespace pellarion {

// Where the run takes its updates from.
enum class Mode { Share, Internet };

class UpdateRun {
 public:
  // `publisherKey`: the key packages must be signed with (DER); empty, none.
  UpdateRun(Platform& platform, Form1& form, std::string publisherKey = PublisherKey());

  // The whole run. Ends the process through EndRun, or returns where the run
  // leaves the window open for the user to close, with the run's exit code.
  ExitCode Execute();

  // The first half: status colour, placement, single-instance test, window,
  // firewall registration, searching text and the choice of mode.
  Mode StartUp();

 private:
  // --- Start-up ---
  // Plants copies of the updater where the application is installed, starts
  // them and ends the process.
  [[noreturn]] void PlaceUpdaterAndEnd();
  // True when the updater may be copied over `placed`: it is not there, or
  // its version is lower than the running updater's (never a downgrade).
  bool MayPlaceOver(const std::string& placed);
  // Starts a placed copy. A keyed updater starts only itself: a copy that is
  // not this updater byte for byte is not started.
  void StartPlaced(const std::string& placed);
  // Removes the temporary files that runs cut off earlier left in AppDir.
  void RemoveLeftovers();
  // A run cut off after it stopped the application and before it started it
  // again left the record: the application is started now, unless it runs.
  void RestartAfterCutRun();
  // Registers the updater with the firewall, in the current profile and in
  // the standard profile; the two passes are independent.
  void AddFirewallException();

  // --- From the host computer's share; both end the process ---
  [[noreturn]] void ShareMode();
  // The share root named by line 1 of host.dll; empty when the file cannot
  // be read or names none.
  std::string ShareRoot();

  // --- From the update server ---
  // Ends the process, or returns leaving the window open when a newer
  // application could not be installed.
  void InternetMode();
  // Shows that the update server could not be asked, and ends the process.
  [[noreturn]] void EndCheckFailed();
  // Downloads the offered application and installs it; ends the process, or
  // returns leaving the window open when the package could not be installed.
  void UpdateApplicationOnline();
  // Stages a newer updater from the update server as update.bin.
  void CheckUpdaterOnline();
  // NU = the value for `key` of the local manifest; empty when the manifest
  // cannot be read or lacks the key.
  void ReadOfferedVersion(int key);

  // --- Shared by both modes ---
  // CU and NU from "0", CU = the digits of the installed executable; NU is
  // left to the caller.
  void ReadInstalledVersion(const std::string& installed);
  // ReadInstalledVersion, then NU = the digits of `available` unless it is
  // empty; `read` (when given) says whether they could be read. True when NU
  // is newer.
  bool CompareVersions(const std::string& installed, const std::string& available, bool* read = nullptr);
  // IsNewer(NU, CU), written to the log.
  bool OfferIsNewer();
  // In a build with a publisher key: takes the signed release description
  // in the file `path` (update.txt) when it is valid and current, and
  // records its release number beside the updater. False, with the reason
  // logged, when it cannot be trusted.
  bool AcceptRelease(const std::string& path);
  // CheckPackage of `package` for `role`, offered as NU, to replace
  // `installed`, written to the log under `origin` (where it came from).
  GateVerdict Gate(const std::string& package, const std::string& origin, PackageRole role,
                   const std::string& installed);
  // The same gate for a copy of the share's `source`. A refused copy is
  // deleted and the failure shown.
  bool AcceptCopy(const std::string& copy, const std::string& source, PackageRole role,
                  const std::string& installed);
  // Puts the staged application in place of Pellarion.exe after stopping the
  // running copies; on failure removes the staged copy, restarts what was
  // stopped (in `restartState`) and shows the failure. True when the new
  // executable is in place; the caller then starts it with
  // StartApplication. The stop is recorded first (StoppedRecord), so that a
  // run cut off before the start leaves a trace the next run acts on.
  bool InstallApplication(const std::string& staged, WindowState restartState);
  // Starts Pellarion.exe and, once it started, removes the record of its stop.
  void StartApplication(WindowState state);
  std::string StoppedRecord() const;
  // The browser-cache purge, DownloadFile of `url` to `path`, and the mouse
  // pointer reset, in the run's order.
  DownloadOutcome Fetch(const std::string& url, const std::string& path, const DownloadLimits& limits,
                        const Acceptance& accept = {});
  // Fetch of the URL in `urlField` to `path`, written to the log; shows the
  // failure text when it fails. True when the file was fetched.
  bool Download(Field urlField, const std::string& path, const DownloadLimits& limits = {},
                const Acceptance& accept = {});
  // The limits of every download of this run: `maxBytes`, the run's
  // User-Agent and its deadline.
  DownloadLimits Limits(std::int64_t maxBytes) const;
  // The User-Agent of this run's requests: the updater's and the installed
  // application's versions, the system and the machine.
  void ComposeUserAgent(const std::string& updaterVersion);
  // True while the run's time lasts; once it is over the run ends with the
  // failure text, before anything else is stopped or changed.
  void EndIfOutOfTime();
  // Whether `bytes` more fit on the volume of `path`, leaving its reserve
  // (a failure the log records when not).
  bool HasRoomFor(const std::string& path, std::int64_t bytes);
  // Download of the package for `role`, which takes `path`'s place only once
  // the gate accepted it; in a keyed build no more than its signed length is
  // ever written. A cut transfer keeps what arrived, to resume.
  bool DownloadPackage(Field urlField, const std::string& path, PackageRole role, const std::string& installed);

  // --- One-line steps ---
  // Tests for a file. The answer is kept as the last existence answer; a test
  // that fails (an unavailable drive) leaves the previous answer in place.
  bool TestExists(const std::string& path);
  void Start(const std::string& path, WindowState state);
  void Pause(int milliseconds);
  void Pump();
  void SetStatus(const char* text);
  void SetStatus(Colour colour, const char* text);
  // The failure text in red, and `code` as the run's outcome.
  void ShowFailure(ExitCode code);
  // Raises the run's outcome to `code` when that is worse than what it is.
  void Outcome(ExitCode code);
  // Ends the process with the run's outcome as its exit code; nothing after
  // it runs.
  [[noreturn]] void EndRun();
  // Writes one event to update.log.
  void Log(const std::string& event);
  // `path` as the system names it, for the log.
  std::string Shown(const std::string& path);
  // AppDir followed by `name`, which begins with a backslash.
  std::string InAppDir(const std::string& name) const;
  std::string RunningExecutable() const;

  Platform& platform_;
  Form1& form_;
  std::string publisherKey_;
  // The signed release this run trusts (a keyed build, once accepted).
  std::optional<ReleaseDescription> release_;
  std::string appDir_;
  std::string exeName_;
  bool lastExists_ = false;
  ExitCode outcome_ = ExitCode::UpToDate;
  std::int64_t runDeadlineMs_ = -1;  // on the platform's MonotonicMs clock
  std::string userAgent_;
  RunLog log_;
};

}  // namespace pellarion
