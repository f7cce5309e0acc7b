// GoogleTest's Notification, for the Windows build. GoogleTest writes it with
// std::mutex and std::condition_variable, which the C++ library of the Win32
// thread model that update.exe is built with does not have; this one waits
// on a Windows event instead. Forced into every file that includes
// GoogleTest (GTEST_HAS_NOTIFICATION_ tells GoogleTest it is provided).
#pragma once

#include <windows.h>

namespace testing::internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                       /*bInitialState=*/FALSE, /*lpName=*/nullptr)) {}
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  ~Notification() { CloseHandle(event_); }

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace testing::internal
