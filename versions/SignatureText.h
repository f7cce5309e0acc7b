// The text forms of the publisher's signature and key. The signed release
// description holds its DER-encoded ECDSA signature in base64, as `openssl
// base64 -A` writes it. The publisher's key is an SPKI PEM block ("BEGIN
// PUBLIC KEY"). Both decode strictly: a character outside the alphabet,
// misplaced or missing padding, or leftover bits make the text invalid rather
// than yield other bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pellarion {

// Standard base64 with padding, nothing else: no whitespace, no line breaks.
std::optional<std::string> DecodeBase64(std::string_view text);
std::string EncodeBase64(std::string_view bytes);

// The DER bytes (SubjectPublicKeyInfo) of the first "PUBLIC KEY" PEM block in
// `pem`; nothing when there is none or its body is not one whole DER
// SEQUENCE in valid base64. Text around the block is ignored, as OpenSSL does.
std::optional<std::string> DecodePublicKeyPem(std::string_view pem);

}  // namespace pellarion
