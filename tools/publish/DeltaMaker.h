// Making a delta: zstd's patch mode, as `zstd --patch-from=BASE NEW --long -19`
// makes it, so that an updater whose installed file is BASE can fetch the
// delta instead of the whole of NEW (download/DeltaPatch.h applies it).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace pellarion::publish {

// The delta file written: its length and SHA-256 (32 bytes), which the
// signed release description binds.
struct DeltaFile {
  std::int64_t length = 0;
  std::string sha256;
};

// Writes to `deltaPath` (replacing what is there) a delta that turns the
// file `basePath` into the file `newPath`: one zstd frame at level 19 with
// long-distance matching, the base as its prefix, a window longer than the
// new file (DeltaWindowLog), the new file's length and a checksum in it.
// Fails (PublishError, or PlatformError when a file cannot be read or
// written).
DeltaFile MakeDelta(Platform& platform, const std::string& basePath, const std::string& newPath,
                    const std::string& deltaPath);

}  // namespace pellarion::publish
