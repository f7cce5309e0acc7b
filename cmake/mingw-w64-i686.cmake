# Cross-building the 32-bit Windows updater with Debian's MinGW-w64, in its Win32 thread model:
# the C++ library's threads (static-local guards, the exception machinery)
# use Windows' own primitives, so no POSIX-threads emulation (winpthreads,
# about 27 KB of each program) is linked. The program starts its one worker
# thread with CreateThread and never uses std::thread.
# It runs on 32-bit Windows and, through WOW64, on 64-bit Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
