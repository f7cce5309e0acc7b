#include "tests/support/TwoBuilds.h"

#include <random>

namespace pellarion::testing {

TwoBuilds MakeTwoBuilds(std::size_t bytes, double changed, std::uint32_t seed) {
  std::mt19937 random(seed);
  TwoBuilds builds;
  builds.base.resize(bytes);
  for (char& c : builds.base) c = static_cast<char>(random());
  builds.next = builds.base;
  // Runs of 1 to 64 bytes at random places until the share is reached.
  const auto toChange = static_cast<std::size_t>(static_cast<double>(bytes) * changed);
  for (std::size_t done = 0; done < toChange && bytes > 64;) {
    const std::size_t at = random() % (bytes - 64), run = 1 + random() % 64;
    for (std::size_t i = 0; i < run; ++i) builds.next[at + i] = static_cast<char>(random());
    done += run;
  }
  std::string added(4096, '\0');
  for (char& c : added) c = static_cast<char>(random());
  builds.next.insert(bytes / 2, added);
  return builds;
}

}  // namespace pellarion::testing
