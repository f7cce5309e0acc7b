#include "download/DeltaPatch.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "download/DownloadLimits.h"

// The frame header, the decoder's allocator and the window limits are in
// zstd's advanced API, which Debian's library exports and the Windows
// builds link statically.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

namespace pellarion {

namespace {

// The result is written in pieces of this size, as a download's body is.
constexpr std::size_t kOutputPiece = 1 << 20;
// The decoder's own needs beside the base, the delta and the result: its
// state (about 100 KB) and slack.
constexpr std::int64_t kDecoderBytes = 4 << 20;

[[noreturn]] void Fail(DeltaFault fault, const char* why) { throw DeltaFailure(fault, why); }

// The failure behind one of zstd's error codes.
[[noreturn]] void FailDecoding(std::size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_srcSize_wrong:
      Fail(DeltaFault::Cut, "the delta is cut short");
    case ZSTD_error_memory_allocation:
      Fail(DeltaFault::NoMemory, "not enough memory to apply the delta");
    case ZSTD_error_checksum_wrong:
      Fail(DeltaFault::WrongBase, "the delta's result fails its checksum: another base, or a damaged delta");
    case ZSTD_error_frameParameter_windowTooLarge:
      Fail(DeltaFault::Corrupt, "the delta asks for a window larger than any package");
    default:
      Fail(DeltaFault::Corrupt, "the delta is damaged: it cannot be decoded");
  }
}

// Memory for the base, the delta, the result and the decoder, counted
// against a budget, so that a delta can never make the updater take more
// than its package needs. Each block carries its size in front of it, as
// zstd frees without saying.
class Budget {
 public:
  explicit Budget(std::int64_t bytes) : left_(bytes) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

  // nullptr when the budget or the system has no room.
  void* Allocate(std::size_t size) {
    if (static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(left_) || size > SIZE_MAX - kHeader) {
      return nullptr;
    }
    char* const block = static_cast<char*>(std::malloc(size + kHeader));
    if (block == nullptr) return nullptr;
    std::memcpy(block, &size, sizeof size);
    left_ -= static_cast<std::int64_t>(size);
    return block + kHeader;
  }
  void Free(void* address) {
    if (address == nullptr) return;
    char* const block = static_cast<char*>(address) - kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    left_ += static_cast<std::int64_t>(size);
    std::free(block);
  }
  ZSTD_customMem ForZstd() { return {&Budget::AllocateFor, &Budget::FreeFor, this}; }

 private:
  // 16 bytes keep the alignment malloc gives.
  static constexpr std::size_t kHeader = 16;
  static void* AllocateFor(void* self, std::size_t size) { return static_cast<Budget*>(self)->Allocate(size); }
  static void FreeFor(void* self, void* address) { static_cast<Budget*>(self)->Free(address); }

  std::int64_t left_;
};

struct FreeDecoder {
  void operator()(ZSTD_DCtx* decoder) const { ZSTD_freeDCtx(decoder); }
};

// Reads until `size` bytes or the end of the file; returns how many.
std::size_t Fill(InputFile& file, char* buffer, std::size_t size) {
  std::size_t got = 0;
  for (std::size_t n; got < size && (n = file.Read(buffer + got, size - got)) > 0;) got += n;
  return got;
}

void Check(std::size_t zstdResult) {
  if (ZSTD_isError(zstdResult)) FailDecoding(zstdResult);
}

// The result's length that the frame header at the start of `bytes` states.
std::uint64_t StatedLength(const void* bytes, std::size_t size) {
  ZSTD_frameHeader header{};
  const std::size_t headerNeeds = ZSTD_getFrameHeader(&header, bytes, size);
  if (ZSTD_isError(headerNeeds) || (headerNeeds == 0 && header.frameType != ZSTD_frame)) {
    Fail(DeltaFault::Corrupt, "the delta is not a zstd patch");
  }
  if (headerNeeds > 0) Fail(DeltaFault::Cut, "the delta is cut short");
  if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
    Fail(DeltaFault::Corrupt, "the delta does not say how long its result is");
  }
  return header.frameContentSize;
}

}  // namespace

int DeltaWindowLog(std::int64_t packageBytes) {
  int log = ZSTD_WINDOWLOG_MIN;
  while (log < ZSTD_WINDOWLOG_MAX && (std::int64_t{1} << log) <= packageBytes) ++log;
  return log;
}

DeltaResult ApplyDelta(Platform& platform, InputFile& base, InputFile& delta, OutputFile& result,
                       const DeltaLimits& limits) {
  // Decoded in one step, the result in memory is its own window: the base,
  // the delta and the result whole in memory, from one budget.
  const std::uint64_t baseBytes = base.Size(), deltaBytes = delta.Size();
  if (baseBytes > static_cast<std::uint64_t>(kMaxPackageBytes) ||
      deltaBytes > static_cast<std::uint64_t>(kMaxPackageBytes)) {
    Fail(DeltaFault::NoMemory, "the base or the delta is larger than any package");
  }
  Budget budget(limits.memoryBytes >= 0 ? limits.memoryBytes
                                        : static_cast<std::int64_t>(baseBytes + deltaBytes) + limits.resultBytes +
                                              kDecoderBytes);
  const auto release = [&budget](void* block) { budget.Free(block); };
  using Block = std::unique_ptr<void, decltype(release)>;
  // `bytes` of memory, filled from `file` when given (a file shorter than it
  // said is `fault`).
  const auto take = [&](std::uint64_t bytes, InputFile* file, DeltaFault fault) {
    Block block(budget.Allocate(static_cast<std::size_t>(bytes)), release);
    if (!block) Fail(DeltaFault::NoMemory, "not enough memory to apply the delta");
    if (file != nullptr && Fill(*file, static_cast<char*>(block.get()), static_cast<std::size_t>(bytes)) != bytes) {
      Fail(fault, "a file changed while it was read");
    }
    return block;
  };
  // The frame's header first: a delta that does not say how long its result
  // is, or says it is longer than the package, is refused before the base
  // is read. One frame and nothing after it: what follows would be decoded
  // without the base.
  const Block patch = take(deltaBytes, &delta, DeltaFault::Cut);
  const std::uint64_t stated = StatedLength(patch.get(), static_cast<std::size_t>(deltaBytes));
  if (stated > static_cast<std::uint64_t>(limits.resultBytes)) {
    Fail(DeltaFault::TooLong, "the delta's result is longer than the package");
  }
  const std::size_t frame = ZSTD_findFrameCompressedSize(patch.get(), static_cast<std::size_t>(deltaBytes));
  Check(frame);
  if (frame != deltaBytes) Fail(DeltaFault::Corrupt, "the delta goes on after its end");
  const Block prefix = take(baseBytes, &base, DeltaFault::WrongBase);
  const Block output = take(stated, nullptr, DeltaFault::NoMemory);

  const std::unique_ptr<ZSTD_DCtx, FreeDecoder> decoder(ZSTD_createDCtx_advanced(budget.ForZstd()));
  if (!decoder) Fail(DeltaFault::NoMemory, "not enough memory to apply the delta");
  // The base is the patch's prefix: raw content, as the tool refers to it
  // (an executable never starts with the magic number of zstd's dictionaries).
  const std::size_t made = ZSTD_decompress_usingDict(decoder.get(), output.get(), static_cast<std::size_t>(stated),
                                                     patch.get(), static_cast<std::size_t>(deltaBytes), prefix.get(),
                                                     static_cast<std::size_t>(baseBytes));
  Check(made);
  if (made != stated) Fail(DeltaFault::Corrupt, "the delta makes less than it says");
  const auto sha = platform.StartSha256();
  result.Reserve(static_cast<std::int64_t>(made));
  for (std::size_t at = 0; at < made; at += kOutputPiece) {
    const char* const piece = static_cast<const char*>(output.get()) + at;
    const std::size_t size = made - at < kOutputPiece ? made - at : kOutputPiece;
    sha->Add(piece, size);
    result.Write(piece, size);
  }
  result.Flush();
  return {static_cast<std::int64_t>(made), sha->Finish()};
}

std::uint64_t DeltaResultLength(InputFile& delta) {
  char header[ZSTD_FRAMEHEADERSIZE_MAX];
  return StatedLength(header, Fill(delta, header, sizeof header));
}

DeltaResult ApplyDeltaFiles(Platform& platform, const std::string& basePath, const std::string& deltaPath,
                            const std::string& resultPath, const DeltaLimits& limits) {
  const auto base = platform.OpenInput(basePath);
  const auto delta = platform.OpenInput(deltaPath);
  const auto result = platform.OpenOutput(resultPath, 0);
  return ApplyDelta(platform, *base, *delta, *result, limits);
}

}  // namespace pellarion
