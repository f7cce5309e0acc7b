// A download or a copy never fills its volume: other programs on it must
// still be able to write. Each write first checks that the volume keeps a
// reserve of free space after it.
#pragma once

#include <cstdint>
#include <string>

namespace pellarion {

class Platform;

// The free space a write must leave: the smaller of 64 MiB and a tenth of
// the volume.
std::int64_t VolumeReserve(std::int64_t volumeBytes);

// Fails (TransferFailure, NoRoom) when writing `bytes` more on the volume
// holding `path` would leave less than its reserve free, or when the
// volume's space cannot be read.
void EnsureRoom(Platform& platform, const std::string& path, std::int64_t bytes);

}  // namespace pellarion
