// Figures for deltas, printed, never judged:
//   delta_benchmark [BASE NEXT]...
// 1. For each pair of builds (the pairs given, e.g. two versions of the
//    Windows update.exe, then a 10 MB program with 1% of its bytes changed):
//    the package, the delta MakeDelta makes and what
//    `zstd --patch-from=BASE NEXT --long -19` makes of the same pair (the
//    reference), in bytes and as shares of the package; the time each took;
//    what a fleet of 400 workstations fetches whole and by delta.
// 2. Applying a delta to a 50 MB program (1% changed) in a process of its
//    own, as the updater does (the result flushed and hashed): the time and
//    peak resident size, against `zstd -d --patch-from` doing the same.
// Goals: a delta at most 5% of the package for a build with a small change
// and at most 1.1 times the reference; peak memory at most twice the package
// plus 16 MiB.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "download/DeltaPatch.h"
#include "platform/Platform.h"
#include "tests/benchmark/Measure.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TwoBuilds.h"
#include "tools/publish/DeltaMaker.h"

namespace {

using pellarion::benchmark::Hex;
using pellarion::benchmark::Measure;
using pellarion::benchmark::RunMeasured;
using pellarion::testing::ReadFile;
using pellarion::testing::WriteFile;
namespace fs = std::filesystem;

constexpr int kFleet = 400;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The child: applies DELTA to BASE into RESULT as the updater does; prints
// the result's SHA-256. Exit 0 when it applied, 1 with the reason when not.
int Apply(const std::string& base, const std::string& delta, const std::string& result, long long length) {
  const auto platform = pellarion::CreateSystemPlatform();
  try {
    const auto applied = pellarion::ApplyDeltaFiles(*platform, base, delta, result, {length});
    std::printf("%s\n", Hex(applied.sha256).c_str());
    return 0;
  } catch (const pellarion::PlatformError& e) {
    std::fprintf(stderr, "the delta failed: %s\n", e.what());
    return 1;
  }
}

// The first figures, for one pair.
int Sizes(const std::string& name, const std::string& base, const std::string& next, const std::string& dir) {
  const auto platform = pellarion::CreateSystemPlatform();
  const double package = static_cast<double>(fs::file_size(next));
  const auto start = std::chrono::steady_clock::now();
  const auto ours = pellarion::publish::MakeDelta(*platform, base, next, dir + "/ours.zst");
  const double oursSeconds = Seconds(start);
  const Measure cli =
      RunMeasured({"zstd", "-qq", "-f", "-19", "--long", "--patch-from=" + base, next, "-o", dir + "/cli.zst"});
  if (cli.exitCode != 0) {
    std::printf("%s: the zstd command failed (%d)\n", name.c_str(), cli.exitCode);
    return 1;
  }
  const double reference = static_cast<double>(fs::file_size(dir + "/cli.zst"));
  const double delta = static_cast<double>(ours.length);
  std::printf("%s\n", name.c_str());
  std::printf("  package (the whole next build):      %12.0f bytes\n", package);
  std::printf("  delta, MakeDelta:                    %12.0f bytes  %6.2f%% of the package  %.2f s\n", delta,
              100 * delta / package, oursSeconds);
  std::printf("  reference, zstd --patch-from --long -19: %8.0f bytes  %6.2f%% of the package  %.2f s\n", reference,
              100 * reference / package, cli.seconds);
  std::printf("  delta / reference: %.3f (goal at most 1.1); delta / package: %.4f (goal at most 0.05)\n",
              delta / reference, delta / package);
  std::printf("  a fleet of %d: %.1f MiB whole, %.1f MiB by delta (%.1f MiB saved)\n", kFleet,
              kFleet * package / 1048576, kFleet * delta / 1048576, kFleet * (package - delta) / 1048576);
  return 0;
}

// The second figures: applying to a 50 MB program.
int Applying(const std::string& self, const std::string& dir) {
  const auto builds = pellarion::testing::MakeTwoBuilds(50'000'000, 0.01, 50);
  WriteFile(dir + "/base50.exe", builds.base);
  WriteFile(dir + "/next50.exe", builds.next);
  const auto platform = pellarion::CreateSystemPlatform();
  pellarion::publish::MakeDelta(*platform, dir + "/base50.exe", dir + "/next50.exe", dir + "/next50.zst");
  const auto sha = platform->StartSha256();
  sha->Add(builds.next.data(), builds.next.size());
  const std::string expected = Hex(sha->Finish());
  const long long length = static_cast<long long>(builds.next.size());

  const Measure ours = RunMeasured({self, "--apply", dir + "/base50.exe", dir + "/next50.zst",
                                    dir + "/result50.exe", std::to_string(length)});
  const bool right = ours.exitCode == 0 && ReadFile(dir + "/result50.exe") == builds.next;
  // zstd needs its window named when it is over its default of 128 MiB;
  // here it is not, as the updater's is not.
  const Measure cli = RunMeasured({"zstd", "-qq", "-d", "-f", "--patch-from=" + dir + "/base50.exe",
                                   dir + "/next50.zst", "-o", dir + "/cli50.exe"});
  const double mib = static_cast<double>(length) / 1048576;
  std::printf("applying a delta of %lld bytes to a %.1f MiB program (SHA-256 %.16s...)\n",
              static_cast<long long>(fs::file_size(dir + "/next50.zst")), mib, expected.c_str());
  std::printf("  ApplyDelta (flushed, hashed): %s, %.2f s, peak resident %.1f MiB (goal at most %.1f MiB)\n",
              right ? "the next build" : "WRONG", ours.seconds, ours.peakKiB / 1024.0, 2 * mib + 16);
  std::printf("  zstd -d --patch-from:         %s, %.2f s, peak resident %.1f MiB\n",
              cli.exitCode == 0 ? "done" : "failed", cli.seconds, cli.peakKiB / 1024.0);
  return right ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int measured = pellarion::benchmark::MeasureIfAsked(argc, argv); measured >= 0) return measured;
  if (argc == 6 && std::strcmp(argv[1], "--apply") == 0) return Apply(argv[2], argv[3], argv[4], std::atoll(argv[5]));
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: delta_benchmark [BASE NEXT]...\n");
    return 2;
  }
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const pellarion::testing::TempDir dir;
  int status = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    status |= Sizes(std::string(argv[i]) + " -> " + argv[i + 1], argv[i], argv[i + 1], dir.path());
  }
  const auto builds = pellarion::testing::MakeTwoBuilds(10'000'000, 0.01, 10);
  WriteFile(dir / "base10.exe", builds.base);
  WriteFile(dir / "next10.exe", builds.next);
  status |= Sizes("a 10 MB program with 1% of its bytes changed", dir / "base10.exe", dir / "next10.exe", dir.path());
  status |= Applying(self, dir.path());
  return status;
}
