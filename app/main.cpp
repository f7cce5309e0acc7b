// update.exe: creating the window runs its load event, which is the whole
// update run.
#include <cstdlib>

#include "app/Form1.h"
#include "app/UpdateRun.h"
#include "platform/Platform.h"

int main() {
  using namespace pellarion;
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  // PELLARION_UPDATE_SERVER (host or host:port) points the updater at a
  // staging server instead of the one it was built for.
  Form1 form(*platform, DefaultUrls::FromEnvironment(std::getenv("PELLARION_UPDATE_SERVER")));
  UpdateRun run(*platform, form);
  const ExitCode code = run.Execute();
  // The run returned without ending the process: the window stays open with
  // its last status until the user closes it.
  platform->WaitForWindowClose();
  return static_cast<int>(code);
}
