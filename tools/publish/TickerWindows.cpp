#include <windows.h>

#include "platform/windows/ScopedWin.h"
#include "tools/publish/Ticker.h"

namespace pellarion::publish {

struct Ticker::State {
  State(int first, int every, std::function<void()> onTick) : firstMs(first), everyMs(every), tick(std::move(onTick)) {}

  int firstMs, everyMs;
  std::function<void()> tick;
  ScopedHandle stop{CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                 /*lpName=*/nullptr)};
  ScopedHandle thread;

  static DWORD WINAPI Run(void* self) {
    auto& state = *static_cast<State*>(self);
    for (int wait = state.firstMs; WaitForSingleObject(state.stop.get(), static_cast<DWORD>(wait)) == WAIT_TIMEOUT;
         wait = state.everyMs) {
      state.tick();
    }
    return 0;
  }
};

Ticker::Ticker(int firstMs, int everyMs, std::function<void()> tick)
    : state_(new State(firstMs, everyMs, std::move(tick))) {
  // Without its event or its thread the ticker never ticks; what it shows is
  // only ever a convenience.
  if (state_->stop.valid()) {
    state_->thread = ScopedHandle(CreateThread(/*lpThreadAttributes=*/nullptr, 0, &State::Run, state_.get(), 0,
                                               /*lpThreadId=*/nullptr));
  }
}

Ticker::~Ticker() {
  if (!state_->thread.valid()) return;
  SetEvent(state_->stop.get());
  WaitForSingleObject(state_->thread.get(), INFINITE);
}

}  // namespace pellarion::publish
