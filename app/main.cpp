// update.exe: creating the window runs its load event, which is the whole
// update run; the process ends here, with the run's exit code.
#include <cstdlib>

#include "app/Form1.h"
#include "app/UpdateRun.h"
#include "platform/Platform.h"

int main() {
  using namespace pellarion;
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  Form1 form(*platform);
  // PELLARION_UPDATE_SERVER points the updater at other servers than the
  // ones it was built for (staging servers, the tests), unless the machine's
  // policy names some.
  const char* servers = std::getenv("PELLARION_UPDATE_SERVER");
  UpdateRun run(*platform, form, servers != nullptr ? servers : "");
  const RunEnd end = run.Execute();
  // A failed installation leaves the window open with its last status until
  // the user closes it.
  if (end.windowStaysOpen) platform->WaitForWindowClose();
  platform->EndRun(end.ExitCode());
}
