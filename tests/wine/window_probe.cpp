// The updater's start-up, run with the real Windows platform, except that the
// end of the run keeps the window open until it is closed: the Wine tests
// take a screenshot of exactly what update.exe shows.
#include <windows.h>

#include <cstdlib>

#include "app/Form1.h"
#include "app/UpdateRun.h"
#include "platform/ForwardingPlatform.h"

namespace {

class HoldWindowAtEnd : public pellarion::ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;
  [[noreturn]] void EndRun(int exitCode) override {
    target_.WaitForWindowClose();
    ExitProcess(static_cast<UINT>(exitCode));
  }
};

}  // namespace

int main() {
  using namespace pellarion;
  const auto system = CreateSystemPlatform();
  HoldWindowAtEnd platform(*system);
  Form1 form(platform, DefaultUrls::ForHost("updates.test"));
  UpdateRun run(platform, form);
  run.Execute();
  return 0;
}
