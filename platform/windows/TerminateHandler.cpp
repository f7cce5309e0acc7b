// What runs when an exception escapes or noexcept is broken in update.exe.
//
// The C++ library's default handler names the exception's type, and for that
// links the whole symbol demangler (about 45 KB, a sixth of the program).
// This definition takes its place at link time: it reports the exception's
// text to a debugger and ends the process at once, without the abort dialog
// that would hold an unattended update.
#include <windows.h>

#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  OutputDebugStringA("update.exe: terminate called");
  try {
    if (const std::exception_ptr current = std::current_exception()) std::rethrow_exception(current);
  } catch (const std::exception& error) {
    OutputDebugStringA(" after an exception: ");
    OutputDebugStringA(error.what());
  } catch (...) {
    OutputDebugStringA(" after an exception");
  }
  OutputDebugStringA("\n");
  TerminateProcess(GetCurrentProcess(), /*uExitCode=*/3);
  for (;;) {
  }
}

}  // namespace __gnu_cxx
