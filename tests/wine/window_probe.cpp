// The updater's run with the real Windows platform, except that its end
// keeps the window open until it is closed: the Wine tests take a screenshot
// of exactly what update.exe shows.
#include "app/Form1.h"
#include "app/UpdateRun.h"

int main() {
  using namespace pellarion;
  const auto platform = CreateSystemPlatform();
  Form1 form(*platform);
  UpdateRun run(*platform, form, "updates.test");
  const RunEnd end = run.Execute();
  platform->WaitForWindowClose();
  return end.ExitCode();
}
