// libFuzzer target: the version-record reader on arbitrary bytes. It must not
// crash or read outside the buffer, and a record it finds must be whole.
#include <cstddef>
#include <cstdint>

#include "versions/VersionRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto version = pellarion::ReadVersionRecord(pellarion::MemoryByteSource(data, size));
  if (version) (void)version->Dotted();
  return 0;
}
