// The system's cryptography on Windows (CNG): SHA-256 and the publisher's
// ECDSA P-256 signature check.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "platform/Platform.h"

namespace pellarion {

// A SHA-256 computation (see Platform::StartSha256).
std::unique_ptr<Sha256> StartCngSha256();

// True when `derSignature` is a valid ECDSA signature by the P-256 key whose
// SubjectPublicKeyInfo is `spkiDer` over the SHA-256 digest `sha256Digest`;
// false for any other signature, including one that is not well-formed DER.
// Fails (PlatformError) when the key is not a P-256 key, the digest is not 32
// bytes or the system cannot check.
bool VerifyDigestSignature(const std::string& sha256Digest, const std::string& derSignature,
                           const std::string& spkiDer);

// The two numbers of a DER signature (SEQUENCE of INTEGER r, INTEGER s), each
// as 32 big-endian bytes, r then s; nothing when it is not strict DER or a
// number does not fit in 32 bytes.
std::optional<std::array<unsigned char, 64>> SignatureNumbers(const std::string& der);

}  // namespace pellarion
