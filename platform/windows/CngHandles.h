// Owners of CNG's handles, each closed by its own function of the bcrypt
// table.
#pragma once

#include "platform/windows/DynamicFunctions.h"
#include "platform/windows/ScopedWin.h"

namespace pellarion {

struct CngAlgorithmTraits : NullMeansNone {
  static void Close(BCRYPT_ALG_HANDLE h) { Bcrypt().BCryptCloseAlgorithmProvider(h, 0); }
};
struct CngKeyTraits : NullMeansNone {
  static void Close(BCRYPT_KEY_HANDLE h) { Bcrypt().BCryptDestroyKey(h); }
};
struct CngHashTraits : NullMeansNone {
  static void Close(BCRYPT_HASH_HANDLE h) { Bcrypt().BCryptDestroyHash(h); }
};
using ScopedAlgorithm = ScopedResource<BCRYPT_ALG_HANDLE, CngAlgorithmTraits>;
using ScopedKey = ScopedResource<BCRYPT_KEY_HANDLE, CngKeyTraits>;
using ScopedHash = ScopedResource<BCRYPT_HASH_HANDLE, CngHashTraits>;

}  // namespace pellarion
