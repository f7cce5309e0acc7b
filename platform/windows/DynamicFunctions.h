// The functions of the system DLLs that the updater loads at run time rather
// than imports (they are not KnownDLLs, so an imported one would be searched
// for beside the program first). Each DLL's functions are listed once; the
// table and its binding are generated from the list, each entry named and
// typed as the function it holds. To use another function of one of these
// DLLs, add its name to the list.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#define WINHTTP_FUNCTIONS(V)                                                                  \
  V(WinHttpOpen) V(WinHttpCloseHandle) V(WinHttpCrackUrl) V(WinHttpConnect)                   \
  V(WinHttpOpenRequest) V(WinHttpSetOption) V(WinHttpSetTimeouts) V(WinHttpSendRequest)       \
  V(WinHttpReceiveResponse) V(WinHttpQueryHeaders) V(WinHttpQueryDataAvailable)               \
  V(WinHttpReadData) V(WinHttpGetIEProxyConfigForCurrentUser) V(WinHttpGetProxyForUrl)        \
  V(WinHttpQueryAuthSchemes) V(WinHttpSetCredentials) V(WinHttpAddRequestHeaders)

#define BCRYPT_FUNCTIONS(V)                                                                   \
  V(BCryptOpenAlgorithmProvider) V(BCryptCloseAlgorithmProvider) V(BCryptImportKeyPair)       \
  V(BCryptDestroyKey) V(BCryptCreateHash) V(BCryptHashData) V(BCryptFinishHash)               \
  V(BCryptDestroyHash) V(BCryptVerifySignature) V(BCryptGenRandom)

namespace pellarion {

#define PELLARION_FUNCTION_ENTRY(name) decltype(&::name) name;
struct WinHttpFunctions {
  WINHTTP_FUNCTIONS(PELLARION_FUNCTION_ENTRY)
};
struct BcryptFunctions {
  BCRYPT_FUNCTIONS(PELLARION_FUNCTION_ENTRY)
};
#undef PELLARION_FUNCTION_ENTRY

// The tables, bound at first use from System32's winhttp.dll and bcrypt.dll;
// fail (PlatformError) when the DLL or one of its functions is missing.
const WinHttpFunctions& WinHttp();
const BcryptFunctions& Bcrypt();

}  // namespace pellarion
