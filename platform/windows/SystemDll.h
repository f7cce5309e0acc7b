// Loading the system DLLs that the updater does not import: only System32's
// copy is ever loaded, never one planted beside the program or on the PATH.
#pragma once

#include <windows.h>

namespace pellarion {

// Loads `name` (for example L"winhttp.dll") from the System32 folder; fails
// (PlatformError) when it is not there.
HMODULE LoadSystemDll(const wchar_t* name);

// The address of the function `name` that `module` exports; fails
// (PlatformError) when it exports none of that name.
FARPROC SystemDllFunction(HMODULE module, const char* name);

// Fills one entry of a function table.
template <typename T>
void BindSystemFunction(HMODULE module, const char* name, T& function) {
  function = reinterpret_cast<T>(reinterpret_cast<void*>(SystemDllFunction(module, name)));
}

}  // namespace pellarion
