#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/publish/Ticker.h"

namespace pellarion::publish {

struct Ticker::State {
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;
  std::thread thread;
};

Ticker::Ticker(int firstMs, int everyMs, std::function<void()> tick) : state_(std::make_unique<State>()) {
  state_->thread = std::thread([state = state_.get(), firstMs, everyMs, tick = std::move(tick)] {
    std::unique_lock<std::mutex> lock(state->mutex);
    for (int wait = firstMs; !state->wake.wait_for(lock, std::chrono::milliseconds(wait), [&] { return state->done; });
         wait = everyMs) {
      tick();
    }
  });
}

Ticker::~Ticker() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->done = true;
  }
  state_->wake.notify_one();
  state_->thread.join();
}

}  // namespace pellarion::publish
