// libFuzzer target: the whole-executable check on arbitrary bytes. It must not
// crash or read outside the buffer, and a file it accepts stays accepted
// with bytes appended (only missing bytes can refuse a file).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "versions/ExecutableImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto verdict = pellarion::CheckWholeExecutable(pellarion::MemoryByteSource(data, size));
  if (verdict.accepted) {
    std::vector<std::uint8_t> longer(data, data + size);
    longer.resize(size + 64, 0);
    if (!pellarion::CheckWholeExecutable(pellarion::MemoryByteSource(longer.data(), longer.size()))
             .accepted) {
      std::abort();
    }
  }
  return 0;
}
