// The update run: the one sequence every start of the updater performs, from
// the placement checks to its end. Each step returns what happened: nothing
// (the run goes on with its next step) or how the run ends; Finish turns
// that into the last status, the log's end line and the exit code. Nothing
// in the run ends the process: main does, with the code the run returned.
// Each statement runs under the continue-on-error rule (Try).
//
// The run's files read in its order: UpdateRun.cpp (the whole, its end, and
// the small steps every part uses), StartUp.cpp, Settings.cpp (where it
// looks, how long it may take), ShareMode.cpp, InternetMode.cpp, and
// Installation.cpp (putting the application in place).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "app/ExitCodes.h"
#include "app/Form1.h"
#include "app/Offer.h"
#include "app/PublisherKey.h"
#include "app/RunLog.h"
#include "download/clsDownload.h"
#include "gate/PackageGate.h"
#include "gate/SignedRelease.h"
#include "platform/Platform.h"

namespace pellarion {

// Where the run takes its updates from.
enum class Mode { Share, Internet };

// What a step says happened: nothing, the run goes on; or how it ends.
using Ending = std::optional<RunEnd>;

class UpdateRun {
 public:
  // `servers`: the update servers PELLARION_UPDATE_SERVER names (empty:
  // none), asked unless the machine's policy names others. `publisherKey`:
  // the key packages must be signed with (DER); empty, none.
  UpdateRun(Platform& platform, Form1& form, std::string servers, std::string publisherKey = PublisherKey());

  // The whole run, ended by Finish.
  RunEnd Execute();

  // The first half: status colour, placement, single-instance test, window,
  // firewall registration, searching text and the choice of mode. Sets
  // `mode`, or tells how the run ends (placed, or another run).
  Ending StartUp(Mode& mode);

 private:
  // --- The start (StartUp.cpp) ---
  // Plants copies of the updater where the application is installed (the
  // folders of kInstallFolders, on D: and E:), and starts them.
  RunEnd PlaceUpdater();
  // True when the updater may be copied over `placed`: it is not there, or
  // its version is lower than the running updater's (never a downgrade).
  bool MayPlaceOver(const std::string& placed);
  // Starts a placed copy. A keyed updater starts only itself: a copy that is
  // not this updater byte for byte is not started, and the copy compared is
  // the one started (read and started through one ProgramFile).
  void StartPlaced(const std::string& placed);
  // Removes the temporary files that runs cut off earlier left in AppDir,
  // except the cut transfers a package download can still resume.
  void RemoveLeftovers();
  // A run cut off after it stopped the application and before it started it
  // again left the record: the application is started now, unless it runs.
  void RestartAfterCutRun();
  // The User-Agent of this run's requests: the updater's and the installed
  // application's versions, the system and the machine.
  void ComposeUserAgent(const std::string& updaterVersion);

  // --- Where the run looks, and how long it may take (Settings.cpp) ---
  // The servers: the policy value UpdateServers, else the environment's,
  // else the build's PELLARION_UPDATE_HOST; a source whose list names no
  // server (empty, or every entry malformed) leaves them to the next. The
  // deadline: the policy value RunDeadlineSeconds when it is 60 to 86,400,
  // else the build's. A policy value that cannot be read counts as unset.
  // Each choice, and each entry or value passed over, is logged.
  void ReadSettings();
  // The policy value `name`; empty when it is not set or cannot be read.
  std::string Policy(const char* name);
  // Takes the servers `text` names, from `source`. False when it names none.
  bool TakeServers(const std::string& text, const char* source);

  // --- From the host computer's share (ShareMode.cpp) ---
  RunEnd ShareMode(Offer& offer);
  // The application from the share's `source` (empty: no share): compared,
  // copied, gated, installed.
  Outcome ShareApplication(Offer& offer, const std::string& source);
  // The updater from the share's `source`: compared, copied, gated and only
  // staged, as update.bin.
  Outcome ShareUpdater(Offer& offer, const std::string& source);
  // A copy of the share's `source` as `copy`, for `role` over `installed`,
  // made as a download is stored (CopyUnderRules: the volume's room, the
  // run's time, in a keyed build no more than the signed length): Updated
  // when the gate accepted it (and holds it, see accepted_); otherwise the
  // copy is gone and the failure shows.
  Outcome CopyFromShare(const Offer& offer, const std::string& source, const std::string& copy, PackageRole role,
                        const std::string& installed);

  // --- From the update server (InternetMode.cpp) ---
  RunEnd InternetMode(Offer& offer);
  // Asks the servers in order for their manifest until one offers a version
  // (in a keyed build, in a signed release it accepts): offer.server is
  // then that one. False when every server was passed over.
  bool ChooseServer(Offer& offer);
  // Downloads the manifest of offer.server and reads the offered
  // application's version. False when it offers none (no manifest, an error
  // page, garbage); the failure text shows then only when `last`.
  bool FetchManifest(Offer& offer, bool last);
  // Downloads the offered application and installs it.
  RunEnd UpdateApplicationOnline(Offer& offer);
  // Stages a newer updater from the update server as update.bin.
  Outcome CheckUpdaterOnline(Offer& offer);
  // offer.CU = the digits of the installed executable (from "0"), offer.NU =
  // the value for `key` of the local manifest; empty when the manifest
  // cannot be read or lacks the key.
  void ReadOffer(Offer& offer, const std::string& installed, int key);
  // The download of the package for `role` to `path`, which takes `path`'s
  // place only once the gate accepted it; in a keyed build no more than its
  // signed length is ever written. A cut transfer keeps what arrived, to
  // resume. Returns Updated, UpdateFailed, Refused or OutOfTime.
  Outcome DownloadPackage(const Offer& offer, PackageRole role, const std::string& path,
                          const std::string& installed);
  // In a keyed build whose release lists a delta for `role` from the
  // installed file: the delta downloaded (as a package is: capped, resumable),
  // and only once it is the signed one, applied; a result that is the signed
  // package goes through the gate and takes `path`'s place. Updated, or
  // Refused by the gate; nothing when there is no such delta or it failed,
  // and the whole package is to be downloaded instead.
  std::optional<Outcome> PackageFromDelta(const Offer& offer, PackageRole role, const std::string& path,
                                          const std::string& installed);

  // --- Putting the application in place (Installation.cpp) ---
  // Puts the staged application (the package the gate accepted last) in
  // place of Pellarion.exe after stopping the running copies; on failure
  // restarts what was stopped (in `restartState`), removes the staged copy
  // and shows the failure. True when the new executable is in place; the
  // caller then starts it with StartApplication. The stop is recorded first
  // (StoppedRecord), so that a run cut off before the start leaves a trace
  // the next run acts on; when the record cannot be written nothing is
  // stopped.
  bool InstallApplication(const std::string& staged, WindowState restartState);
  // Starts Pellarion.exe and, once it started, removes the record of its
  // stop (a removal that fails is tried again when the run ends).
  void StartApplication(WindowState state);
  void RemoveStoppedRecord();
  std::string StoppedRecord() const;
  // Moves the package the gate accepted last from `staged` to `target`,
  // trying again while another program holds either (TryWhileInUse). Only
  // that very file moves: it has been held open since the verdict (on
  // Windows no one can write it meanwhile; on Linux it was created for this
  // user alone) and must still be the file at `staged`. True when moved.
  bool PutInPlace(const std::string& staged, const std::string& target);

  // --- Steps every part uses (UpdateRun.cpp) ---
  // The last status, the log's end line and the exit code: a run that ends
  // on a failure ends on a failure text in red.
  RunEnd Finish(RunEnd end);
  // offer.CU and offer.NU from "0", then CU = the digits of the installed
  // executable and NU the digits of `available` unless it is empty; `read`
  // (when given) says whether they could be read. True when NU is newer.
  bool CompareVersions(Offer& offer, const std::string& installed, const std::string& available,
                       bool* read = nullptr);
  // IsNewer(NU, CU), written to the log.
  bool OfferIsNewer(const Offer& offer);
  // In a build with a publisher key: takes the signed release description
  // in the file `path` (update.txt), read from `where`, when it is meant for
  // it, signed, valid and current, and raises the trust record beside the
  // updater (update.release). False, with the reason logged, when it cannot
  // be trusted.
  bool AcceptRelease(const std::string& path, const ReadFrom& where);
  // Whether this workstation takes the accepted release now: always, unless
  // the release goes to a share of the workstations only; then when the
  // workstation's draw for it (update.identity and the release's packages)
  // is below that share. Logged either way.
  bool InRollout();
  // CheckPackage of `package` for `role`, offered as offer.NU, to replace
  // `installed`.
  GateVerdict Gate(const Offer& offer, const std::string& package, PackageRole role, const std::string& installed);
  // The gate's verdict on what came from `origin`, written to the log.
  bool Accepted(const std::string& origin, const GateVerdict& verdict);
  // The run's way to download: the browser cache purged, the download, the
  // mouse pointer reset; its line in the log, and the failure text when it
  // failed (unless `quiet`: another server is asked next).
  bool Fetch(clsDownload& download, const Acceptance& accept = {}, bool quiet = false);
  // The limits of every download of this run: `maxBytes`, the run's
  // User-Agent, its deadline and its random number.
  DownloadLimits Limits(std::int64_t maxBytes) const;
  // True, and logged, once the run's time is over.
  bool TimeIsOver();
  // MoveReplacing(`from`, `to`), or RemoveFile(`from`) when `to` is empty,
  // under the continue-on-error rule, tried again while it fails because
  // another program holds a file (FileInUseError: an antivirus scanner
  // looking at a new executable), after pauses of 0.5, 1, 2, 4 and 8 s and a
  // last one that makes 30 s in all, each logged, never past the run's
  // deadline. True when it completed.
  bool TryWhileInUse(const std::string& from, const std::string& to = "");

  // --- One-line steps ---
  // Tests for a file. The answer is kept as the last existence answer; a test
  // that fails (an unavailable drive) leaves the previous answer in place.
  bool TestExists(const std::string& path);
  // The status line, then the window repaints. Without a colour, the last
  // one stays.
  void Show(Colour colour, const char* text);
  void Show(const char* text) { Show(form_.Status().colour, text); }
  // The failure text in red.
  void ShowFailure();
  // Waits with the last status shown (the window paints meanwhile).
  void Wait(int milliseconds);
  void Pump();
  // Writes one event to update.log; the second form joins its parts (one
  // string built in place of a temporary for every +).
  void Log(const std::string& event);
  void Log(std::initializer_list<std::string_view> parts);
  // `path` as the system names it, for the log.
  std::string Shown(const std::string& path);
  // AppDir followed by `name`, which begins with a backslash.
  std::string InAppDir(const std::string& name) const;
  std::string RunningExecutable() const;
  bool Keyed() const { return !publisherKey_.empty(); }

  Platform& platform_;
  Form1& form_;
  std::string environmentServers_;
  std::vector<std::string> servers_;  // as their setting names them, in order
  UpdateServer server_;               // the one asked now, then the one taken
  std::string publisherKey_;
  // The signed release this run trusts (a keyed build, once accepted).
  std::optional<ReleaseDescription> release_;
  // The package the gate accepted last, held open from its verdict until
  // PutInPlace moves it: what is installed or staged is what was checked.
  std::unique_ptr<InputFile> accepted_;
  // The run started the application again (its stop record is to go).
  bool restarted_ = false;
  std::string appDir_;
  std::string exeName_;
  bool lastExists_ = false;
  std::int64_t runDeadlineMs_ = -1;  // on the platform's MonotonicMs clock
  // Drawn once per run: where in each back-off this workstation comes back,
  // so that a fleet turned away together does not return together.
  std::uint32_t jitter_ = 0;
  std::string userAgent_;
  RunLog log_;
};

}  // namespace pellarion
