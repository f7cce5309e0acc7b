// The publisher's public key that the build compiled in, if any.
#pragma once

#include <string>

namespace pellarion {

// The key's SubjectPublicKeyInfo (DER); empty for a build without a key,
// which then accepts packages without a signature.
std::string PublisherKey();

}  // namespace pellarion
