// Where this process loads DLLs from. The updater runs from a folder that
// users can write to (it must, to update the application there), sometimes
// elevated: a DLL planted beside it must never run inside it.
#pragma once

#include <windows.h>

namespace pellarion {

// Drops the application's folder and the current directory from the DLL
// search path of the whole process: SetDefaultDllDirectories(System32 only),
// looked up at run time, or SetDllDirectoryW(L"") on a Windows 7 without the
// update that brings it. Call it before anything can load a DLL.
void RestrictDllSearch();

// Loads a system DLL by its bare name ("winhttp.dll") from System32 only,
// never from the program's folder or the current directory. Returns nullptr
// with GetLastError() set when it cannot; a name holding a path is refused
// with ERROR_INVALID_PARAMETER.
HMODULE LoadSystemLibrary(const wchar_t* name);

}  // namespace pellarion
