// The publisher's signature check with the system's cryptography (CNG):
// ECDSA P-256 over the SHA-256 of a file.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace pellarion {

// True when `derSignature` is a valid ECDSA signature by the P-256 key whose
// SubjectPublicKeyInfo is `spkiDer` over the SHA-256 of the file at `path`;
// false for any other signature, including one that is not well-formed DER.
// Fails (PlatformError) when the key is not a P-256 key, the file cannot be
// read or the system cannot check.
bool VerifyFileSignature(const std::string& path, const std::string& derSignature, const std::string& spkiDer);

// The two numbers of a DER signature (SEQUENCE of INTEGER r, INTEGER s), each
// as 32 big-endian bytes, r then s; nothing when it is not strict DER or a
// number does not fit in 32 bytes.
std::optional<std::array<unsigned char, 64>> SignatureNumbers(const std::string& der);

}  // namespace pellarion
