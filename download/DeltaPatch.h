// Applying a delta: a binary patch in zstd's patch format (a zstd frame
// that refers back into the base, the installed file, as its prefix) turns
// the installed Pellarion.exe or update.exe into the new package, so that a
// workstation fetches what changed instead of the whole package. The result
// is only a candidate: its caller compares its length and SHA-256 with the
// package's signed ones before anything else sees it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/Platform.h"

namespace pellarion {

// Why a delta could not be applied. Each one leaves the whole package to
// fetch instead.
enum class DeltaFault {
  Cut,        // the delta ends before its frame does
  Corrupt,    // not a patch this program takes (another format, no length, a window too large), or damaged
  WrongBase,  // decoded, but the result fails the delta's checksum: another base (or damage there)
  NoMemory,   // the base and the decoder need more memory than allowed, or than the system gives
  TooLong,    // the result would be longer than the package's signed length
};

// A delta that failed: a platform failure of its own kind, as a transfer's
// is, so that whatever handles those handles this.
class DeltaFailure : public PlatformError {
 public:
  DeltaFailure(DeltaFault fault, std::string why) : PlatformError(std::move(why)), fault_(fault) {}
  DeltaFault fault() const { return fault_; }

 private:
  DeltaFault fault_;
};

struct DeltaLimits {
  // The package's signed length: the result is at most this long.
  std::int64_t resultBytes = 0;
  // The most the base, the delta, the result (each held whole in memory)
  // and the decoder may take together; -1: their lengths and a few MiB,
  // which is what a patch for a package of that length needs.
  std::int64_t memoryBytes = -1;
};

// What came out: the result's length and SHA-256 (32 bytes).
struct DeltaResult {
  std::int64_t length = 0;
  std::string sha256;
};

// The window, as a power of two, of a patch for a package of `packageBytes`:
// the smallest one longer than the package (zstd's own choice for
// --patch-from), within zstd's limits. The publisher's tool makes patches
// with it; the updater decodes into the whole result, whatever the window.
int DeltaWindowLog(std::int64_t packageBytes);

// Applies `delta` to `base`: reads both whole into memory, decodes the
// delta, one frame, against the base into the whole result in memory, and
// writes that to `result`, computing its SHA-256; then flushes `result`.
// Throws DeltaFailure, or PlatformError when a file cannot be read or
// written; what `result` holds then is to be thrown away.
DeltaResult ApplyDelta(Platform& platform, InputFile& base, InputFile& delta, OutputFile& result,
                       const DeltaLimits& limits);
// The same with files named through the platform: `resultPath` is created
// (replacing what is there).
DeltaResult ApplyDeltaFiles(Platform& platform, const std::string& basePath, const std::string& deltaPath,
                            const std::string& resultPath, const DeltaLimits& limits);

// The length of the result that the delta's frame header states, read
// without decoding anything; throws DeltaFailure, as ApplyDelta does, for a
// header that is not a patch's, is cut short or states no length.
std::uint64_t DeltaResultLength(InputFile& delta);

}  // namespace pellarion
