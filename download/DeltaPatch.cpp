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

// The delta is read and the result written in pieces of these sizes.
constexpr std::size_t kInputPiece = 128 * 1024;
constexpr std::size_t kOutputPiece = 1 << 20;
// The decoder's own needs beside its copy of the result: its state, an
// input block and slack.
constexpr std::int64_t kDecoderBytes = 4 << 20;

[[noreturn]] void Fail(DeltaFault fault, const char* why) { throw DeltaFailure(fault, why); }

// The failure behind one of zstd's error codes.
[[noreturn]] void FailDecoding(std::size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_memory_allocation:
      Fail(DeltaFault::NoMemory, "not enough memory to apply the delta");
    case ZSTD_error_checksum_wrong:
      Fail(DeltaFault::WrongBase, "the delta's result fails its checksum: another base, or a damaged delta");
    case ZSTD_error_frameParameter_windowTooLarge:
      Fail(DeltaFault::Corrupt, "the delta asks for a window larger than its package");
    default:
      Fail(DeltaFault::Corrupt, "the delta is damaged: it cannot be decoded");
  }
}

// Memory for the base and the decoder, counted against a budget, so that a
// delta can never make the updater take more than its package needs. Each
// block carries its size in front of it, as zstd frees without saying.
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

}  // namespace

int DeltaWindowLog(std::int64_t packageBytes) {
  int log = ZSTD_WINDOWLOG_MIN;
  while (log < ZSTD_WINDOWLOG_MAX && (std::int64_t{1} << log) <= packageBytes) ++log;
  return log;
}

DeltaResult ApplyDelta(Platform& platform, InputFile& base, InputFile& delta, OutputFile& result,
                       const DeltaLimits& limits) {
  // The frame's header first: a delta that does not say how long its result
  // is, or says it is longer than the package, is refused before the base
  // is read.
  const auto input = std::make_unique<char[]>(kInputPiece);
  ZSTD_inBuffer in{input.get(), Fill(delta, input.get(), kInputPiece), 0};
  ZSTD_frameHeader header{};
  const std::size_t headerNeeds = ZSTD_getFrameHeader(&header, in.src, in.size);
  if (ZSTD_isError(headerNeeds) || (headerNeeds == 0 && header.frameType != ZSTD_frame)) {
    Fail(DeltaFault::Corrupt, "the delta is not a zstd patch");
  }
  if (headerNeeds > 0) Fail(DeltaFault::Cut, "the delta is cut short");
  if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
    Fail(DeltaFault::Corrupt, "the delta does not say how long its result is");
  }
  if (header.frameContentSize > static_cast<std::uint64_t>(limits.resultBytes)) {
    Fail(DeltaFault::TooLong, "the delta's result is longer than the package");
  }

  // The base whole in memory, as the decoder refers back into all of it.
  const std::uint64_t baseBytes = base.Size();
  if (baseBytes > static_cast<std::uint64_t>(kMaxPackageBytes)) {
    Fail(DeltaFault::NoMemory, "the base is larger than any package");
  }
  Budget budget(limits.memoryBytes >= 0
                    ? limits.memoryBytes
                    : static_cast<std::int64_t>(baseBytes) + limits.resultBytes + kDecoderBytes);
  const auto release = [&budget](void* block) { budget.Free(block); };
  const std::unique_ptr<void, decltype(release)> prefix(budget.Allocate(static_cast<std::size_t>(baseBytes)),
                                                        release);
  if (!prefix) Fail(DeltaFault::NoMemory, "not enough memory for the base");
  if (Fill(base, static_cast<char*>(prefix.get()), static_cast<std::size_t>(baseBytes)) != baseBytes) {
    Fail(DeltaFault::WrongBase, "the base changed while it was read");
  }

  const std::unique_ptr<ZSTD_DCtx, FreeDecoder> decoder(ZSTD_createDCtx_advanced(budget.ForZstd()));
  if (!decoder) Fail(DeltaFault::NoMemory, "not enough memory to apply the delta");
  Check(ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, DeltaWindowLog(limits.resultBytes)));
  Check(ZSTD_DCtx_refPrefix(decoder.get(), prefix.get(), static_cast<std::size_t>(baseBytes)));

  result.Reserve(static_cast<std::int64_t>(header.frameContentSize));
  const auto sha = platform.StartSha256();
  const auto output = std::make_unique<char[]>(kOutputPiece);
  std::int64_t written = 0;
  for (;;) {
    ZSTD_outBuffer out{output.get(), kOutputPiece, 0};
    const std::size_t left = ZSTD_decompressStream(decoder.get(), &out, &in);
    Check(left);
    if (out.pos > 0) {
      if (static_cast<std::int64_t>(out.pos) > limits.resultBytes - written) {
        Fail(DeltaFault::TooLong, "the delta's result is longer than the package");
      }
      sha->Add(output.get(), out.pos);
      result.Write(output.get(), out.pos);
      written += static_cast<std::int64_t>(out.pos);
    }
    if (left == 0) break;  // the frame has ended and every byte of it is out
    // With room left for output, the decoder wants more of the delta.
    if (in.pos == in.size && out.pos < out.size) {
      in = {input.get(), Fill(delta, input.get(), kInputPiece), 0};
      if (in.size == 0) Fail(DeltaFault::Cut, "the delta is cut short");
    }
  }
  // One frame and nothing after it: what follows would be decoded without
  // the base.
  char more = 0;
  if (in.pos < in.size || delta.Read(&more, 1) > 0) Fail(DeltaFault::Corrupt, "the delta goes on after its end");
  result.Flush();
  return {written, sha->Finish()};
}

DeltaResult ApplyDeltaFiles(Platform& platform, const std::string& basePath, const std::string& deltaPath,
                            const std::string& resultPath, const DeltaLimits& limits) {
  const auto base = platform.OpenInput(basePath);
  const auto delta = platform.OpenInput(deltaPath);
  const auto result = platform.OpenOutput(resultPath, 0);
  return ApplyDelta(platform, *base, *delta, *result, limits);
}

}  // namespace pellarion
