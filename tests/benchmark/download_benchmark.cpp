// Throughput and memory of DownloadFile against the curl command line, in the
// same run, from the same loopback server:
//   download_benchmark [MiB]          (default 512)
// Each side runs as its own process, so its peak resident size is its own.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Form1.h"
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
  pellarion::Form1 form(*platform, pellarion::DefaultUrls::ForHost("127.0.0.1"));
  pellarion::DownloadFile(*platform, form, url, path);
  return std::filesystem::exists(path) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--fetch") == 0) return Fetch(argv[2], argv[3]);
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 512;
  const long long bytes = mib << 20;
  const std::string dir = std::filesystem::temp_directory_path() / "pellarion-benchmark";
  std::filesystem::create_directories(dir);
  const std::string ours = dir + "/ours.bin", theirs = dir + "/curl.bin";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

  pellarion::testing::TestHttpServer server;
  const std::string url = server.Url("/big/" + std::to_string(bytes));
  std::printf("downloading %lld MiB from %s, best of 3 runs each\n", mib, url.c_str());

  Measure best[2];
  for (int round = 0; round < 3; ++round) {
    std::filesystem::remove(ours);
    std::filesystem::remove(theirs);
    const Measure a = RunMeasured({self, "--fetch", url, ours});
    const Measure b = RunMeasured({"curl", "-s", "-f", "-o", theirs, url});
    if (a.exitCode != 0 || b.exitCode != 0 || std::filesystem::file_size(ours) != static_cast<std::uintmax_t>(bytes)) {
      std::printf("a download failed (DownloadFile %d, curl %d)\n", a.exitCode, b.exitCode);
      return 1;
    }
    if (round == 0 || a.seconds < best[0].seconds) best[0] = a;
    if (round == 0 || b.seconds < best[1].seconds) best[1] = b;
    if (a.peakKiB > best[0].peakKiB) best[0].peakKiB = a.peakKiB;  // the worst peak counts
  }
  std::filesystem::remove_all(dir);
  const double oursRate = static_cast<double>(mib) / best[0].seconds;
  const double curlRate = static_cast<double>(mib) / best[1].seconds;
  std::printf("DownloadFile: %8.1f MiB/s  peak resident %6.1f MiB\n", oursRate, best[0].peakKiB / 1024.0);
  std::printf("curl:         %8.1f MiB/s  peak resident %6.1f MiB\n", curlRate, best[1].peakKiB / 1024.0);
  std::printf("throughput ratio DownloadFile/curl: %.2f (target at least 0.90)\n", oursRate / curlRate);
  std::printf("DownloadFile peak resident: %.1f MiB (target under 16 MiB)\n", best[0].peakKiB / 1024.0);
  return 0;
}
