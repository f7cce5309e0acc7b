// Figures for clsDownload, printed, never judged:
//   download_benchmark [MiB [runs]]          (default 512 MiB, 5 runs)
// 1. Throughput and memory against the command line, from the same loopback
//    server in the same run: clsDownload with its checks (the file flushed
//    to disk, its SHA-256 computed as it arrives and compared) against
//    `curl`, `sync` of its file and `openssl dgst -sha256` of it (openssl
//    hashes with the processor's SHA instructions where it has them, as the
//    system's cryptography under clsDownload does), and against `curl`
//    alone. Each side runs as its own process, so its peak resident size is
//    its own. Medians of the runs.
// 2. A 64 MiB package from nginx over a link that drops every 16 MiB: how
//    many bytes crossed the link in all, against the package's length, and
//    how many runs of the updater it took.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "download/clsDownload.h"
#include "platform/Platform.h"
#include "tests/benchmark/Measure.h"
#include "tests/support/CuttingRelay.h"
#include "tests/support/Nginx.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

namespace {

using pellarion::benchmark::Hex;
using pellarion::benchmark::Measure;
using pellarion::benchmark::Median;
using pellarion::benchmark::RunMeasured;
using pellarion::benchmark::Unhex;
using pellarion::testing::WriteFile;

// The SHA-256 of what the tests' server sends for /big/<bytes>.
std::string GeneratedSha256(pellarion::Platform& platform, long long bytes) {
  std::string piece(1 << 20, '\0');
  for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 131 % 251);
  const auto sha = platform.StartSha256();
  for (long long left = bytes; left > 0; left -= static_cast<long long>(piece.size())) {
    sha->Add(piece.data(), static_cast<std::size_t>(std::min<long long>(left, static_cast<long long>(piece.size()))));
  }
  return sha->Finish();
}

// The child: one clsDownload as the update run makes it, with the digest
// it must match; resumable when asked. Exit 0 when the file arrived, 1 not.
int Fetch(const std::string& url, const std::string& path, const std::string& sha256Hex, bool resumable) {
  const auto platform = pellarion::CreateSystemPlatform();
  pellarion::DownloadLimits limits;
  const std::string digest = Unhex(sha256Hex);
  limits.expectedSha256 = &digest;
  limits.resumable = resumable;
  return pellarion::clsDownload(*platform, url, path, limits).Get_File() ? 0 : 1;
}

// The first figures: clsDownload against curl, sync and openssl, and
// against curl alone.
int Throughput(const std::string& self, const std::string& dir, long long mib, int runs) {
  const long long bytes = mib << 20;
  const std::string ours = dir + "/ours.bin", theirs = dir + "/curl.bin";
  pellarion::testing::TestHttpServer server;
  const std::string url = server.Url("/big/" + std::to_string(bytes));
  const auto platform = pellarion::CreateSystemPlatform();
  const std::string sha = Hex(GeneratedSha256(*platform, bytes));
  std::printf("downloading %lld MiB from %s, median of %d runs each\n", mib, url.c_str(), runs);

  std::vector<double> oursSeconds, curlSeconds, curlSyncHashSeconds;
  long oursPeakKiB = 0, curlPeakKiB = 0, hashPeakKiB = 0;
  for (int round = 0; round < runs; ++round) {
    std::filesystem::remove(ours);
    std::filesystem::remove(theirs);
    // Who goes first alternates, so that neither always meets the other's
    // writeback still draining.
    Measure a, b, sync, hash;
    if (round % 2 == 0) a = RunMeasured({self, "--fetch", url, ours, sha, "whole"});
    b = RunMeasured({"curl", "-s", "-f", "-o", theirs, url});
    sync = RunMeasured({"sync", theirs});
    hash = RunMeasured({"openssl", "dgst", "-sha256", theirs});
    if (round % 2 == 1) a = RunMeasured({self, "--fetch", url, ours, sha, "whole"});
    std::printf("run %d: clsDownload %.2f s, curl %.2f s, sync %.2f s, openssl dgst -sha256 %.2f s\n", round + 1,
                a.seconds, b.seconds, sync.seconds, hash.seconds);
    if (a.exitCode != 0 || b.exitCode != 0 || hash.exitCode != 0 || sync.exitCode != 0 ||
        std::filesystem::file_size(ours) != static_cast<std::uintmax_t>(bytes)) {
      std::printf("a download failed (clsDownload %d, curl %d, sync %d, openssl %d)\n", a.exitCode, b.exitCode,
                  sync.exitCode, hash.exitCode);
      return 1;
    }
    oursSeconds.push_back(a.seconds);
    curlSeconds.push_back(b.seconds);
    curlSyncHashSeconds.push_back(b.seconds + sync.seconds + hash.seconds);
    oursPeakKiB = std::max(oursPeakKiB, a.peakKiB);  // the worst peak counts
    curlPeakKiB = std::max(curlPeakKiB, b.peakKiB);
    hashPeakKiB = std::max(hashPeakKiB, hash.peakKiB);
  }
  std::filesystem::remove(ours);
  std::filesystem::remove(theirs);
  const double oursRate = static_cast<double>(mib) / Median(oursSeconds);
  const double curlRate = static_cast<double>(mib) / Median(curlSeconds);
  const double curlSyncHashRate = static_cast<double>(mib) / Median(curlSyncHashSeconds);
  std::printf("clsDownload (flushed, hashed):       %8.1f MiB/s  peak resident %6.1f MiB\n", oursRate,
              oursPeakKiB / 1024.0);
  std::printf("curl, sync, then openssl dgst -sha256: %8.1f MiB/s  peak resident %6.1f MiB (curl), %.1f MiB (openssl)\n",
              curlSyncHashRate, curlPeakKiB / 1024.0, hashPeakKiB / 1024.0);
  std::printf("curl alone (neither flushed nor hashed): %6.1f MiB/s\n", curlRate);
  std::printf("median ratio clsDownload / (curl + sync + openssl dgst -sha256): %.2f\n", oursRate / curlSyncHashRate);
  std::printf("median ratio clsDownload / curl alone:                         %.2f\n", oursRate / curlRate);
  return 0;
}

// The second: a 64 MiB package over a link that drops every 16 MiB.
int DroppingLink(const std::string& self, const std::string& dir) {
  constexpr long long kPackage = 64LL << 20, kDropEvery = 16LL << 20;
  std::string package(static_cast<std::size_t>(kPackage), '\0');
  for (std::size_t i = 0; i < package.size(); ++i) package[i] = static_cast<char>((i * 7919) >> 8);
  WriteFile(dir + "/www/update/Pellarion.bin", package);
  const auto platform = pellarion::CreateSystemPlatform();
  const auto hasher = platform->StartSha256();
  hasher->Add(package.data(), package.size());
  const std::string sha = Hex(hasher->Finish());
  package.clear();
  pellarion::testing::Nginx nginx(dir + "/www", dir + "/nginx");
  pellarion::testing::CuttingRelay link(nginx.port(), {.cutAfter = kDropEvery});
  const std::string url = "http://127.0.0.1:" + std::to_string(link.port()) + "/update/Pellarion.bin";
  const std::string target = dir + "/Pellarion.bin";
  int runs = 0;
  double seconds = 0;
  for (; runs < 5 && !std::filesystem::exists(target); ++runs) {
    seconds += RunMeasured({self, "--fetch", url, target, sha, "resumable"}).seconds;
  }
  const bool arrived = std::filesystem::exists(target);
  std::printf("64 MiB over a link that drops every 16 MiB: %s after %d run(s) of the download, %.1f s, "
              "%d connections\n",
              arrived ? "arrived" : "did NOT arrive", runs, seconds, link.Connections());
  std::printf("bytes over the link: %lld, %.3fx the package (target at most 1.1x)\n",
              static_cast<long long>(link.BytesRelayed()),
              static_cast<double>(link.BytesRelayed()) / static_cast<double>(kPackage));
  return arrived ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int measured = pellarion::benchmark::MeasureIfAsked(argc, argv); measured >= 0) return measured;
  if (argc == 6 && std::strcmp(argv[1], "--fetch") == 0) {
    return Fetch(argv[2], argv[3], argv[4], std::strcmp(argv[5], "resumable") == 0);
  }
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 512;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const pellarion::testing::TempDir dir;
  const int throughput = Throughput(self, dir.path(), mib, runs);
  const int link = DroppingLink(self, dir.path());
  return throughput != 0 ? throughput : link;
}
