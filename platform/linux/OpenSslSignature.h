// The system's cryptography on Linux: OpenSSL's libcrypto.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"

namespace pellarion {

// A SHA-256 computation (see Platform::StartSha256).
std::unique_ptr<Sha256> StartOpenSslSha256();

// OpenSSL's side of VerifySignature (see Platform): true when `derSignature`
// is a valid ECDSA signature over the SHA-256 digest `sha256Digest` by the
// P-256 key whose SubjectPublicKeyInfo is `spkiDer`; false when it is not,
// also when the signature is not DER at all. Throws PlatformError when the
// key is not a P-256 key or the digest is not 32 bytes.
bool VerifyDigestSignature(const std::string& sha256Digest, const std::string& derSignature,
                           const std::string& spkiDer);

}  // namespace pellarion
