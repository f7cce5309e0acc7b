#include "app/ProcessTermination.h"

#include "gate/ContinueOnError.h"
#include "platform/Platform.h"

namespace pellarion {

int KillRunningApp(Platform& platform, const std::string& application) {
  std::vector<ProcessEntry> running;
  Try([&] { running = platform.ProcessQuery(application); });
  if (running.empty()) return 0;

  std::vector<std::int64_t> asked;
  for (const ProcessEntry& process : running) {
    if (Try([&] { platform.RequestClose(process.id); })) asked.push_back(process.id);
  }
  bool closed = false;
  if (!asked.empty()) Try([&] { closed = platform.WaitForProcessesToEnd(asked, kCloseWaitMs); });
  if (closed && asked.size() == running.size()) return static_cast<int>(running.size());

  std::vector<ProcessEntry> left = running;
  Try([&] { left = platform.ProcessQuery(application); });
  std::vector<std::int64_t> stopped;
  for (const ProcessEntry& process : left) {
    if (Try([&] { platform.TerminateProcessById(process.id); })) stopped.push_back(process.id);
  }
  if (!stopped.empty()) {
    Try([&] { platform.WaitForProcessesToEnd(stopped, kTerminationWaitMs); });
  }
  return static_cast<int>(running.size() - (left.size() - stopped.size()));
}

}  // namespace pellarion
