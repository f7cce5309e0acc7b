#include "tools/publish/DeltaMaker.h"

#include <memory>

#include "download/DeltaPatch.h"
#include "download/DownloadLimits.h"
#include "tools/publish/PublisherKeys.h"

// The long-distance matcher's and the window's parameters are in zstd's
// advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

namespace pellarion::publish {

namespace {

constexpr std::size_t kPiece = 1 << 20;
// The level of `zstd -19`: the smallest deltas that zstd's patch mode makes
// without --ultra's memory.
constexpr int kLevel = 19;

struct FreeEncoder {
  void operator()(ZSTD_CCtx* encoder) const { ZSTD_freeCCtx(encoder); }
};

// The whole file, at most as long as the largest package.
std::string ReadBase(Platform& platform, const std::string& path) {
  const auto file = platform.OpenInput(path);
  const std::uint64_t size = file->Size();
  if (size > static_cast<std::uint64_t>(kMaxPackageBytes)) {
    throw PublishError(path + " is larger than any package (" + std::to_string(kMaxPackageBytes) + " bytes)");
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  for (std::size_t n; got < bytes.size() && (n = file->Read(bytes.data() + got, bytes.size() - got)) > 0;) got += n;
  if (got != bytes.size()) throw PublishError(path + " changed while it was read");
  return bytes;
}

}  // namespace

DeltaFile MakeDelta(Platform& platform, const std::string& basePath, const std::string& newPath,
                    const std::string& deltaPath) {
  const std::string base = ReadBase(platform, basePath);
  const auto input = platform.OpenInput(newPath);
  const std::uint64_t newBytes = input->Size();
  const std::unique_ptr<ZSTD_CCtx, FreeEncoder> encoder(ZSTD_createCCtx());
  if (!encoder) throw PublishError("not enough memory to make a delta");
  const auto check = [&](std::size_t result) {
    if (ZSTD_isError(result)) {
      // The code too: the Windows tool's zstd carries no error texts.
      throw PublishError("the delta from " + basePath + " to " + newPath + " failed: zstd error " +
                         std::to_string(ZSTD_getErrorCode(result)) + " (" + ZSTD_getErrorName(result) + ")");
    }
  };
  // What `zstd --patch-from --long -19` sets: the level, long-distance
  // matching, a window longer than the new file, the length and a checksum
  // in the frame, the base as the prefix.
  check(ZSTD_CCtx_setParameter(encoder.get(), ZSTD_c_compressionLevel, kLevel));
  check(ZSTD_CCtx_setParameter(encoder.get(), ZSTD_c_enableLongDistanceMatching, 1));
  check(ZSTD_CCtx_setParameter(encoder.get(), ZSTD_c_windowLog,
                               DeltaWindowLog(static_cast<std::int64_t>(newBytes))));
  check(ZSTD_CCtx_setParameter(encoder.get(), ZSTD_c_contentSizeFlag, 1));
  check(ZSTD_CCtx_setParameter(encoder.get(), ZSTD_c_checksumFlag, 1));
  check(ZSTD_CCtx_setPledgedSrcSize(encoder.get(), newBytes));
  check(ZSTD_CCtx_refPrefix(encoder.get(), base.data(), base.size()));

  const auto output = platform.OpenOutput(deltaPath, 0);
  const auto sha = platform.StartSha256();
  const auto in = std::make_unique<char[]>(kPiece);
  const auto out = std::make_unique<char[]>(kPiece);
  DeltaFile delta;
  // Piece by piece; a read of nothing ends the frame.
  for (bool ended = false; !ended;) {
    ZSTD_inBuffer piece{in.get(), input->Read(in.get(), kPiece), 0};
    ended = piece.size == 0;
    const ZSTD_EndDirective mode = ended ? ZSTD_e_end : ZSTD_e_continue;
    for (std::size_t left = 1; ended ? left != 0 : piece.pos < piece.size;) {
      ZSTD_outBuffer written{out.get(), kPiece, 0};
      left = ZSTD_compressStream2(encoder.get(), &written, &piece, mode);
      check(left);
      if (written.pos == 0) continue;
      sha->Add(out.get(), written.pos);
      output->Write(out.get(), written.pos);
      delta.length += static_cast<std::int64_t>(written.pos);
    }
  }
  output->Flush();
  delta.sha256 = sha->Finish();
  return delta;
}

}  // namespace pellarion::publish
