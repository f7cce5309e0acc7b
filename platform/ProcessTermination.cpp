#include "platform/ProcessTermination.h"

#include "platform/ContinueOnError.h"
#include "platform/Platform.h"

namespace pellarion {

int KillRunningApp(Platform& platform) {
  std::vector<ProcessEntry> processes;
  Try([&] { processes = platform.ProcessQuery(kApplicationImage); });
  std::vector<std::int64_t> stopped;
  for (const ProcessEntry& process : processes) {
    Try([&] {
      platform.TerminateProcessById(process.id);
      stopped.push_back(process.id);
    });
  }
  if (!stopped.empty()) {
    Try([&] { platform.WaitForProcessesToEnd(stopped, kTerminationWaitMs); });
  }
  return static_cast<int>(stopped.size());
}

}  // namespace pellarion
