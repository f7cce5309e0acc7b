#include "platform/InstanceName.h"

#include <cstdint>
#include <cstdio>

namespace pellarion {

std::string InstanceName(const std::string& prefix, const std::string& foldedPath) {
  std::uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : foldedPath) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(h));
  return prefix + digits;
}

}  // namespace pellarion
