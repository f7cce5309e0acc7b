// A call repeated on a thread of its own while something else blocks (a
// download's progress line). One realisation per system: the Windows build
// has no std::thread in its thread model.
#pragma once

#include <functional>
#include <memory>

namespace pellarion::publish {

class Ticker {
 public:
  // Calls `tick` first after `firstMs`, then every `everyMs`.
  Ticker(int firstMs, int everyMs, std::function<void()> tick);
  // Stops the calls; waits for one under way.
  ~Ticker();
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pellarion::publish
