// The status window in one of the states a workstation user sees, drawn by
// the updater's own window code, until it is closed:
//   window_states searching | downloading | updated | failed
// The README's pictures are screenshots of it (scripts/window-pictures.sh).
#include <windows.h>

#include <cstring>

#include "app/Form1.h"
#include "app/Messages.h"

int main(int argc, char** argv) {
  using namespace pellarion;
  struct State {
    const char* name;
    Colour colour;
    const char* text;
  };
  // The colour and text each step of the run sets.
  static constexpr State kStates[] = {{"searching", kBlue, messages::kSearching},
                                      {"downloading", kGreen, messages::kDownloading},
                                      {"updated", kGreen, messages::kUpdated},
                                      {"failed", kRed, messages::kCheckFailed}};
  const State* state = nullptr;
  for (const State& s : kStates) {
    if (argc == 2 && std::strcmp(argv[1], s.name) == 0) state = &s;
  }
  if (state == nullptr) return 2;
  const auto platform = CreateSystemPlatform();
  Form1 form(*platform);
  form.SetStatusColour(state->colour);
  form.ShowStatusWindow();
  form.SetStatusText(state->text);
  platform->Pump();
  platform->WaitForWindowClose();
  return 0;
}
