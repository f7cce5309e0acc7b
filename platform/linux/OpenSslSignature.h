#pragma once

#include <string>

namespace pellarion {

// OpenSSL's side of VerifySignature (see Platform): true when `derSignature`
// is a valid ECDSA signature over the SHA-256 of the file at `localPath` (a
// Linux path) by the P-256 key whose SubjectPublicKeyInfo is `spkiDer`;
// false when it is not, also when the signature is not DER at all. Throws
// PlatformError when the file cannot be read or the key is not a P-256 key.
bool VerifyFileSignature(const std::string& localPath, const std::string& derSignature,
                         const std::string& spkiDer);

}  // namespace pellarion
