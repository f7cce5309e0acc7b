// Two builds of a program for the delta tests and the benchmark: a base of
// pseudo-random bytes (as incompressible as an executable's packed parts,
// and the same for the same seed) and the next build, which differs from it
// by a share of its bytes changed in short runs all through the file, as a
// rebuild's moved addresses and edited functions change them, and by one
// block of new bytes in the middle, which moves everything after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pellarion::testing {

struct TwoBuilds {
  std::string base, next;
};

// `bytes` long (the next build 4 KiB longer), `changed` of its bytes
// changed (0.01 for 1%).
TwoBuilds MakeTwoBuilds(std::size_t bytes, double changed, std::uint32_t seed);

}  // namespace pellarion::testing
