// Throughput and memory of DownloadFile against the curl command line, in the
// same run, from the same loopback server:
//   download_benchmark [MiB [runs]]          (default 512 MiB, 5 runs)
// DownloadFile flushes its file before it succeeds; curl does not, so it is
// timed alone and followed by `sync` of its file. Each side runs as its own
// process, so its peak resident size is its own. Medians of the runs.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "download/DownloadService.h"
#include "platform/Platform.h"
#include "download/DownloadService.h"
#include "tests/support/TestHttpServer.h"

extern char** environ;

namespace {

struct Measure {
  double seconds = 0;
  long peakKiB = 0;
  int exitCode = -1;
};

Measure RunMeasured(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    std::perror(args[0]);
    std::exit(2);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measure m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.peakKiB = usage.ru_maxrss;
  m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

// The child: one DownloadFile, as the update run makes it.
int Fetch(const std::string& url, const std::string& path) {
  const auto platform = pellarion::CreateSystemPlatform();
  pellarion::DownloadFile(*platform, url, path);
  return std::filesystem::exists(path) ? 0 : 1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--fetch") == 0) return Fetch(argv[2], argv[3]);
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 512;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const long long bytes = mib << 20;
  const std::string dir = std::filesystem::temp_directory_path() / "pellarion-benchmark";
  std::filesystem::create_directories(dir);
  const std::string ours = dir + "/ours.bin", theirs = dir + "/curl.bin";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

  pellarion::testing::TestHttpServer server;
  const std::string url = server.Url("/big/" + std::to_string(bytes));
  std::printf("downloading %lld MiB from %s, median of %d runs each\n", mib, url.c_str(), runs);

  // Seconds per run: DownloadFile (flushed), curl (not flushed), curl then sync of its file.
  std::vector<double> oursSeconds, curlSeconds, curlSyncSeconds;
  long oursPeakKiB = 0, curlPeakKiB = 0;
  for (int round = 0; round < runs; ++round) {
    std::filesystem::remove(ours);
    std::filesystem::remove(theirs);
    // Who goes first alternates, so that neither always meets the other's
    // writeback still draining.
    Measure a, b, sync;
    if (round % 2 == 0) a = RunMeasured({self, "--fetch", url, ours});
    b = RunMeasured({"curl", "-s", "-f", "-o", theirs, url});
    sync = RunMeasured({"sync", theirs});
    if (round % 2 == 1) a = RunMeasured({self, "--fetch", url, ours});
    std::printf("run %d: DownloadFile %.2f s, curl %.2f s, sync %.2f s\n", round + 1, a.seconds, b.seconds,
                sync.seconds);
    if (a.exitCode != 0 || b.exitCode != 0 || sync.exitCode != 0 ||
        std::filesystem::file_size(ours) != static_cast<std::uintmax_t>(bytes)) {
      std::printf("a download failed (DownloadFile %d, curl %d, sync %d)\n", a.exitCode, b.exitCode, sync.exitCode);
      return 1;
    }
    oursSeconds.push_back(a.seconds);
    curlSeconds.push_back(b.seconds);
    curlSyncSeconds.push_back(b.seconds + sync.seconds);
    oursPeakKiB = std::max(oursPeakKiB, a.peakKiB);  // the worst peak counts
    curlPeakKiB = std::max(curlPeakKiB, b.peakKiB);
  }
  std::filesystem::remove_all(dir);
  const double oursRate = static_cast<double>(mib) / Median(oursSeconds);
  const double curlRate = static_cast<double>(mib) / Median(curlSeconds);
  const double curlSyncRate = static_cast<double>(mib) / Median(curlSyncSeconds);
  std::printf("DownloadFile (flushed):  %8.1f MiB/s  peak resident %6.1f MiB\n", oursRate, oursPeakKiB / 1024.0);
  std::printf("curl (not flushed):      %8.1f MiB/s  peak resident %6.1f MiB\n", curlRate, curlPeakKiB / 1024.0);
  std::printf("curl, then sync of file: %8.1f MiB/s\n", curlSyncRate);
  std::printf("ratio DownloadFile/curl:         %.2f (target at least 1.5)\n", oursRate / curlRate);
  std::printf("ratio DownloadFile/curl+sync:    %.2f\n", oursRate / curlSyncRate);
  std::printf("DownloadFile peak resident: %.1f MiB (target under 16 MiB)\n", oursPeakKiB / 1024.0);
  return 0;
}
