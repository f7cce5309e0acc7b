// The update run: the one sequence every start of the updater performs, from
// the placement checks to the end of the process. It reads as the steps it
// takes; each statement runs under the continue-on-error rule (Try).
#pragma once

#include <string>

#include "app/Form1.h"
#include "platform/Platform.h"
#include "versions/Versions.h"

namespace pellarion {

// Where the run takes its updates from.
enum class Mode { Share, Internet };

class UpdateRun {
 public:
  UpdateRun(Platform& platform, Form1& form);

  // The whole run. Ends the process through EndRun, or returns where the run
  // leaves the window open for the user to close.
  void Execute();

  // The first half: status colour, placement, single-instance test, window,
  // firewall registration, searching text and the choice of mode.
  Mode StartUp();

 private:
  // Plants copies of the updater where the application is installed, starts
  // them and ends the process.
  [[noreturn]] void PlaceUpdaterAndEnd();
  // Updates the application and stages a newer updater from the host
  // computer's share; ends the process.
  [[noreturn]] void ShareMode();
  // The share root named by line 1 of host.dll; empty when the file cannot
  // be read or names none.
  std::string ShareRoot();
  // Starts a comparison: CU and NU from "0", CU = the installed digits, and
  // NU = the digits of `available` unless it is empty. True when NU is newer.
  bool CompareVersions(const std::string& installed, const std::string& available);
  // Puts the staged application in place of Pellarion.exe after stopping the
  // running copies; on failure removes the staged copy, restarts what was
  // stopped (in `restartState`) and shows the failure. True when the new
  // executable is in place.
  bool InstallApplication(const std::string& staged, WindowState restartState);

  // Updates the application from the update server, then lets the updater
  // check itself. Ends the process, or returns leaving the window open when
  // no package could be installed.
  void InternetMode();
  // Stages a newer updater from the update server as update.bin.
  void CheckUpdaterOnline();
  // True when a downloaded package is an executable: not empty, and with a
  // version record. Anything else (an HTML page served with status 200, a
  // cut-off file) is deleted and the failure text shown.
  bool AcceptPackage(const std::string& package);
  // ReadManifestValue(n) of the local manifest, into NU.
  void ReadOfferedVersion(int key);

  // Registers the updater with the firewall, in the current profile and in
  // the standard profile; the two passes are independent.
  void AddFirewallException();

  // Tests for a file. The answer is kept as the last existence answer; a test
  // that fails (an unavailable drive) leaves the previous answer in place.
  bool TestExists(const std::string& path);
  // Ends the process; nothing after it runs.
  [[noreturn]] void EndRun();
  void Pump();
  void SetStatus(const char* text);
  void SetStatus(Colour colour, const char* text);
  // AppDir followed by `name`, which begins with a backslash.
  std::string InAppDir(const std::string& name) const;
  std::string RunningExecutable() const;

  Platform& platform_;
  Form1& form_;
  std::string appDir_;
  std::string exeName_;
  bool lastExists_ = false;
};

}  // namespace pellarion
