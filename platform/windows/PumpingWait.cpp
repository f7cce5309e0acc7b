#include "platform/windows/PumpingWait.h"

#include <windows.h>

#include <exception>

#include "platform/windows/ScopedWin.h"
#include "platform/windows/WinText.h"

namespace pellarion {

namespace {

struct Job {
  const FunctionRef<void()>* work;
  std::exception_ptr failure;
};

DWORD WINAPI RunJob(void* parameter) {
  auto* job = static_cast<Job*>(parameter);
  try {
    (*job->work)();
  } catch (...) {
    job->failure = std::current_exception();
  }
  return 0;
}

}  // namespace

void RunWhilePumping(FunctionRef<void()> work, FunctionRef<void()> pump) {
  Job job{&work, nullptr};
  const ScopedHandle thread(CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, &RunJob, &job,
                                         /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr));
  if (!thread.valid()) FailWithLastError("cannot start a worker thread", "");
  const HANDLE handle = thread.get();
  for (;;) {
    const DWORD woke = MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      pump();
      continue;
    }
    // The job uses this frame: it must end before the frame does.
    WaitForSingleObject(handle, INFINITE);
    break;
  }
  if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace pellarion
