#include "platform/windows/DynamicFunctions.h"

#include "platform/windows/SystemDll.h"

namespace pellarion {

#define PELLARION_BIND_FUNCTION(name) BindSystemFunction(dll, #name, table.name);

const WinHttpFunctions& WinHttp() {
  static const WinHttpFunctions functions = [] {
    const HMODULE dll = LoadSystemDll(L"winhttp.dll");
    WinHttpFunctions table{};
    WINHTTP_FUNCTIONS(PELLARION_BIND_FUNCTION)
    return table;
  }();
  return functions;
}

const BcryptFunctions& Bcrypt() {
  static const BcryptFunctions functions = [] {
    const HMODULE dll = LoadSystemDll(L"bcrypt.dll");
    BcryptFunctions table{};
    BCRYPT_FUNCTIONS(PELLARION_BIND_FUNCTION)
    return table;
  }();
  return functions;
}

}  // namespace pellarion
