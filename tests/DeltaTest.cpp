// Deltas: made as the publisher's tool makes them, applied as the updater
// applies them, and every way a delta can be wrong.
#include <gtest/gtest.h>

#include <optional>

#include "download/DeltaPatch.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TwoBuilds.h"
#include "tools/publish/DeltaMaker.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

namespace pellarion {
namespace {

using testing::FakePlatform;
using testing::MakeTwoBuilds;

std::string Digest(Platform& platform, const std::string& bytes) {
  const auto sha = platform.StartSha256();
  sha->Add(bytes.data(), bytes.size());
  return sha->Finish();
}

// A delta made from the tool's own maker, then the same delta cut, damaged,
// lengthened, applied to another base, under a shorter signed length and in
// too little memory: only the delta as made gives a result, the next build
// itself, and each of the others fails for its own reason.
TEST(DeltaTest, GivesTheNextBuildOnlyFromTheWholeDeltaAndItsBase) {
  FakePlatform fake;
  // Longer than the decoder's output piece, so that it keeps a window.
  const auto builds = MakeTwoBuilds(1 << 20, 0.01, 7);
  fake.AddFile("C:\\base.exe", builds.base);
  fake.AddFile("C:\\next.exe", builds.next);
  const publish::DeltaFile made = publish::MakeDelta(fake, "C:\\base.exe", "C:\\next.exe", "C:\\next.delta");
  const std::string delta = fake.File("C:\\next.delta").contents;
  ASSERT_EQ(made.length, static_cast<std::int64_t>(delta.size()));
  ASSERT_EQ(made.sha256, Digest(fake, delta));
  // A build with a small change makes a small delta: the base was used.
  EXPECT_LT(delta.size(), builds.next.size() / 20);

  const auto length = static_cast<std::int64_t>(builds.next.size());
  std::string otherBase = builds.base;
  otherBase[otherBase.size() / 3] ^= 1;
  // The first block's type made the reserved one; the frame's checksum (its
  // last four bytes) changed.
  std::string badBlock = delta, badChecksum = delta;
  badBlock[ZSTD_frameHeaderSize(delta.data(), delta.size())] |= 0x06;
  badChecksum.back() ^= 1;
  const std::int64_t decoderOnly = static_cast<std::int64_t>(ZSTD_estimateDCtxSize()) + 64 * 1024;
  struct Case {
    const char* name;
    std::string base, delta;
    DeltaLimits limits;
    std::optional<DeltaFault> fault;  // none: the next build comes out
  } cases[] = {
      {"the delta as made", builds.base, delta, {length}, std::nullopt},
      {"cut in its header", builds.base, delta.substr(0, 4), {length}, DeltaFault::Cut},
      {"cut in the middle", builds.base, delta.substr(0, delta.size() / 2), {length}, DeltaFault::Cut},
      {"without its last byte", builds.base, delta.substr(0, delta.size() - 1), {length}, DeltaFault::Cut},
      {"a block of another type", builds.base, badBlock, {length}, DeltaFault::Corrupt},
      {"another checksum", builds.base, badChecksum, {length}, DeltaFault::WrongBase},
      {"an error page", builds.base, "<html><body>Not Found</body></html>", {length}, DeltaFault::Corrupt},
      {"bytes after its end", builds.base, delta + "more", {length}, DeltaFault::Corrupt},
      {"another base of the same length", otherBase, delta, {length}, DeltaFault::WrongBase},
      {"a result longer than signed", builds.base, delta, {length - 1}, DeltaFault::TooLong},
      {"memory for less than the base", builds.base, delta,
       {length, static_cast<std::int64_t>(builds.base.size()) - 1}, DeltaFault::NoMemory},
      {"memory for the base and the decoder but not the result", builds.base, delta,
       {length, static_cast<std::int64_t>(builds.base.size()) + decoderOnly}, DeltaFault::NoMemory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.AddFile("C:\\app\\Pellarion.exe", c.base);
    fake.AddFile("C:\\app\\Pellarion.delta", c.delta);
    try {
      const DeltaResult result =
          ApplyDeltaFiles(fake, "C:\\app\\Pellarion.exe", "C:\\app\\Pellarion.delta", "C:\\app\\Pellarion.bin", c.limits);
      EXPECT_FALSE(c.fault.has_value()) << "applied";
      EXPECT_EQ(result.length, length);
      EXPECT_EQ(result.sha256, Digest(fake, builds.next));
      EXPECT_EQ(fake.File("C:\\app\\Pellarion.bin").contents, builds.next);
    } catch (const DeltaFailure& failure) {
      ASSERT_TRUE(c.fault.has_value()) << failure.what();
      EXPECT_EQ(failure.fault(), *c.fault) << failure.what();
    }
  }
}

// On real files: the tool's delta is no larger than 1.1 times what
// `zstd --patch-from --long -19` makes of the same pair, and the decoder
// applies either.
TEST(DeltaTest, MakesWhatZstdsPatchModeMakesAndAppliesEither) {
  const testing::TempDir dir;
  const auto platform = CreateSystemPlatform();
  const auto builds = MakeTwoBuilds(1 << 20, 0.01, 11);
  testing::WriteFile(dir / "base.exe", builds.base);
  testing::WriteFile(dir / "next.exe", builds.next);
  const publish::DeltaFile ours = publish::MakeDelta(*platform, dir / "base.exe", dir / "next.exe", dir / "ours.zst");
  const auto zstd = testing::RunProgram({"zstd", "-qq", "-f", "-19", "--long", "--patch-from=" + (dir / "base.exe"),
                                         dir / "next.exe", "-o", dir / "cli.zst"});
  ASSERT_EQ(zstd.exitCode, 0) << "the zstd command (Debian's zstd package) is needed";
  const auto theirs = static_cast<std::int64_t>(testing::ReadFile(dir / "cli.zst").size());
  EXPECT_LE(ours.length * 10, theirs * 11) << ours.length << " bytes against zstd's " << theirs;

  const DeltaLimits limits{static_cast<std::int64_t>(builds.next.size())};
  for (const char* delta : {"ours.zst", "cli.zst"}) {
    SCOPED_TRACE(delta);
    const DeltaResult result = ApplyDeltaFiles(*platform, dir / "base.exe", dir / delta, dir / "result.exe", limits);
    EXPECT_EQ(result.length, limits.resultBytes);
    EXPECT_EQ(result.sha256, Digest(*platform, builds.next));
    EXPECT_TRUE(testing::ReadFile(dir / "result.exe") == builds.next);
  }
}

}  // namespace
}  // namespace pellarion
