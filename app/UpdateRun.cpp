#include "app/UpdateRun.h"

#include <cstdlib>

#include "app/Messages.h"
#include "platform/ContinueOnError.h"

namespace pellarion {

UpdateRun::UpdateRun(Platform& platform, Form1& form)
    : platform_(platform), form_(form) {
  Try([&] { appDir_ = platform_.AppDir(); });
  Try([&] { exeName_ = platform_.ExeName(); });
}

void UpdateRun::Execute() {
  if (StartUp() == Mode::Share) {
    ShareMode();
  } else {
    // The internet mode is not part of this build yet.
    EndRun();
  }
}

Mode UpdateRun::StartUp() {
  Try([&] { form_.SetStatusColour(kBlue); });

  TestExists(InAppDir("\\pellarion.exe"));
  Pump();
  if (!lastExists_) PlaceUpdaterAndEnd();

  bool another = false;
  Try([&] { another = platform_.PreviousInstance(); });
  if (another) EndRun();

  Try([&] { form_.ShowStatusWindow(); });
  Pump();

  AddFirewallException();
  Pump();

  Try([&] { form_.SetStatusText(messages::kSearching); });
  Pump();

  TestExists(InAppDir("\\format.dll"));
  Pump();
  return lastExists_ ? Mode::Internet : Mode::Share;
}

void UpdateRun::PlaceUpdaterAndEnd() {
  const std::string self = RunningExecutable();
  if (TestExists("D:\\Pellarion\\pellarion.exe")) {
    Try([&] { platform_.CopyFileTo(self, "D:\\Pellarion\\update.exe"); });
  }
  Pump();
  if (TestExists("E:\\Pellarion\\pellarion.exe")) {
    Try([&] { platform_.CopyFileTo(self, "E:\\Pellarion\\update.exe"); });
  }
  Pump();
  // Both starts are attempted whatever the tests found; a copy planted by an
  // earlier run is started too.
  Try([&] { platform_.StartProgram("E:\\Pellarion\\update.exe", WindowState::Minimised); });
  Try([&] { platform_.StartProgram("D:\\Pellarion\\update.exe", WindowState::Minimised); });
  Pump();
  EndRun();
}

void UpdateRun::AddFirewallException() {
  FirewallRule rule;
  rule.name = messages::kTitle;  // the firewall entry bears the window's title
  rule.ipVersion = 2;
  rule.processImageFileName = appDir_ + "\\" + exeName_ + "." + "exe";
  rule.remoteAddresses = "*";
  rule.scope = 0;
  rule.enabled = true;
  Try([&] { platform_.FirewallAddApplication(FirewallProfile::Current, rule); });
  Try([&] { platform_.FirewallAddApplication(FirewallProfile::Standard, rule); });
}

bool UpdateRun::TestExists(const std::string& path) {
  Try([&] { lastExists_ = platform_.FileExists(path); });
  return lastExists_;
}

void UpdateRun::EndRun() {
  platform_.EndRun();
  std::abort();  // unreachable: EndRun does not return
}

void UpdateRun::Pump() {
  Try([&] { platform_.Pump(); });
}

std::string UpdateRun::InAppDir(const std::string& name) const { return appDir_ + name; }

std::string UpdateRun::RunningExecutable() const {
  return appDir_ + "\\" + exeName_ + ".exe";
}

}  // namespace pellarion
