#include "platform/InstanceName.h"

#include <cstdint>

#include "platform/Digits.h"

namespace pellarion {

std::string InstanceName(const std::string& prefix, const std::string& foldedPath) {
  std::uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : foldedPath) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return prefix + HexDigits(h, 16);
}

}  // namespace pellarion
