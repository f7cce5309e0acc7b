#include "app/PublisherKey.h"

#include "PublisherKeyPem.h"  // generated: kPublisherKeyPem
#include "versions/SignatureText.h"

namespace pellarion {

std::string PublisherKey() {
  static const std::string key = [] {
    const std::string pem = kPublisherKeyPem;
    if (pem.empty()) return std::string();
    // The build checked the block; should it still not decode, the PEM text
    // itself stands in: no key the system accepts, so every signature check
    // fails rather than the updater silently asking for none.
    const auto der = DecodePublicKeyPem(pem);
    return der ? *der : pem;
  }();
  return key;
}

}  // namespace pellarion
