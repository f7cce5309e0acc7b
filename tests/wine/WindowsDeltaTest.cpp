// Deltas under Windows: the decoder update.exe links (zstd's own, built with
// its size switches) applies the delta that Debian's zstd command made on
// Linux, and the Windows tool's maker makes one of about its size, which
// the decoder applies too. Before the suite runs: delta-base.exe (update.exe),
// delta-next.exe (a rebuild of it) and delta-cli.zst (zstd --patch-from
// --long -19 of the two).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "gate/Files.h"
#include "download/DeltaPatch.h"
#include "platform/Platform.h"
#include "tools/publish/DeltaMaker.h"

namespace pellarion {
namespace {

namespace fs = std::filesystem;

TEST(WindowsDeltaTest, AppliesTheZstdCommandsDeltaAndItsOwn) {
  const auto platform = CreateSystemPlatform();
  const std::string bin = platform->AppDir(), dir = bin + "\\work-delta";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string base = bin + "\\delta-base.exe", next = bin + "\\delta-next.exe", cli = bin + "\\delta-cli.zst";
  const std::string nextSha256 = FileSha256(*platform, next);
  const DeltaLimits limits{platform->FileLength(next)};

  const DeltaResult fromCli = ApplyDeltaFiles(*platform, base, cli, dir + "\\from-cli.exe", limits);
  EXPECT_EQ(fromCli.length, limits.resultBytes);
  EXPECT_EQ(fromCli.sha256, nextSha256);
  EXPECT_EQ(FileSha256(*platform, dir + "\\from-cli.exe"), nextSha256);

  const publish::DeltaFile made = publish::MakeDelta(*platform, base, next, dir + "\\made.zst");
  EXPECT_LE(made.length * 10, platform->FileLength(cli) * 11);
  EXPECT_EQ(made.sha256, FileSha256(*platform, dir + "\\made.zst"));
  EXPECT_EQ(ApplyDeltaFiles(*platform, base, dir + "\\made.zst", dir + "\\from-own.exe", limits).sha256, nextSha256);

  // Half of the delta: the decoder says so and gives nothing.
  std::ifstream whole(cli, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(whole), std::istreambuf_iterator<char>()};
  std::ofstream(dir + "\\half.zst", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  try {
    ApplyDeltaFiles(*platform, base, dir + "\\half.zst", dir + "\\from-half.exe", limits);
    ADD_FAILURE() << "half a delta applied";
  } catch (const DeltaFailure& failure) {
    EXPECT_EQ(failure.fault(), DeltaFault::Cut) << failure.what();
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace pellarion
