#include "download/DiskReserve.h"

#include "download/TransferPolicy.h"
#include "platform/Platform.h"

namespace pellarion {

std::int64_t VolumeReserve(std::int64_t volumeBytes) {
  constexpr std::int64_t kMostReserved = 64LL << 20;
  const std::int64_t tenth = volumeBytes / 10;
  return tenth < kMostReserved ? tenth : kMostReserved;
}

void EnsureRoom(Platform& platform, const std::string& path, std::int64_t bytes) {
  const VolumeSpace space = platform.SpaceOf(path);
  const std::int64_t reserve = VolumeReserve(space.totalBytes);
  if (space.freeBytes - bytes < reserve) {
    FailTransfer(TransferFault::NoRoom, "writing ", bytes, " bytes leaves less than ", reserve, " bytes free");
  }
}

}  // namespace pellarion
