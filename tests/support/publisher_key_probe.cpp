// Prints, in hex, the publisher key that this program was built with: the
// build's key embedding checked from the CMake setting to the DER bytes.
#include <cstdio>

#include "app/PublisherKey.h"

int main() {
  for (const char c : pellarion::PublisherKey()) std::printf("%02x", static_cast<unsigned char>(c));
  std::printf("\n");
  return 0;
}
