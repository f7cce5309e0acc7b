// Long steps off the window's thread: the run waits for them as one step
// while the window keeps answering (painting, moving, a hung-window probe).
#pragma once

#include "platform/FunctionRef.h"

namespace pellarion {

// Runs `work` on a worker thread and returns once it has ended, rethrowing
// what it threw. Until then this thread calls `pump` whenever a message
// arrives for it.
void RunWhilePumping(FunctionRef<void()> work, FunctionRef<void()> pump);

}  // namespace pellarion
