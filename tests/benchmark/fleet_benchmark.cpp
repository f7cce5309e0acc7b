// The fleet figure: rounds of runs until a whole fleet is updated, behind
// nginx serving `limit` package downloads at once at `rate` each, first from
// one server, then from two (half the fleet lists them one way round, half
// the other). A round starts the Linux update.exe in every workstation folder
// not updated yet, all at once, and waits for every run to end. Prints
// figures, judges nothing; not run by ctest.
//
//   fleet_benchmark [workstations [MiB [rounds]]]   (default 200 8 10)
//
// Everything lives in one temporary folder; every process it started (nginx,
// the updaters, the applications they started) is stopped and the folder
// removed at the end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/ExitCodes.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Nginx.h"
#include "tests/support/Subprocess.h"

namespace {

using namespace pellarion;
using testing::Nginx, testing::ReadFile, testing::RunProgram, testing::TempDir, testing::WriteFile;
namespace fs = std::filesystem;

constexpr int kLimit = 20;                // package downloads at once, per server
constexpr const char* kRate = "200k";     // bytes a second, per download
constexpr int kLongestRunMs = 7260000;    // the run's deadline (7200 s) and a minute

// Lines of an access log whose status is `status`, and whose request holds `path`.
int Count(const std::string& log, const std::string& status, const std::string& path) {
  int n = 0;
  for (std::size_t at = 0, end; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    n += line.rfind(status + " ", 0) == 0 && line.find(path) != std::string::npos ? 1 : 0;
  }
  return n;
}

// Runs rounds over `fleet` workstations against `serverCount` servers of
// `www`; prints one line per round and returns the rounds it took (0: not
// all updated within `most`).
int Rounds(const std::string& name, const std::string& www, const std::string& app, int fleet, int most,
           int serverCount) {
  TempDir dir;
  std::vector<std::unique_ptr<Nginx>> nginx;
  std::vector<std::string> addresses;
  for (int s = 0; s < serverCount; ++s) {
    nginx.push_back(std::make_unique<Nginx>(
        www, dir / ("nginx" + std::to_string(s)),
        Nginx::Settings{.serverExtra = "limit_conn fleet " + std::to_string(kLimit) + "; limit_rate " + kRate + ";",
                        .httpExtra = "limit_conn_zone $pellarion_package zone=fleet:1m;"}));
    addresses.push_back("127.0.0.1:" + std::to_string(nginx.back()->port()));
  }
  std::vector<std::string> stations;
  for (int i = 0; i < fleet; ++i) {
    const std::string folder = dir / ("station" + std::to_string(i));
    fs::create_directories(folder);
    fs::copy_file(SIGNED_UPDATE_EXE, folder + "/update.exe");
    fs::copy_file(kApp1, folder + "/Pellarion.exe");
    WriteFile(folder + "/format.dll", "");
    stations.push_back(folder);
  }
  std::printf("%s: %d workstations; %d server%s, each %d downloads at once at %s/s\n", name.c_str(), fleet,
              serverCount, serverCount > 1 ? "s (half the fleet lists them one way round)" : "", kLimit, kRate);
  std::vector<bool> updated(fleet, false);
  int done = 0;
  for (int round = 1; round <= most; ++round) {
    const auto start = std::chrono::steady_clock::now();
    testing::Spawned processes;
    std::vector<std::pair<int, int>> runs;  // workstation, process
    for (int i = 0; i < fleet; ++i) {
      if (updated[i]) continue;
      // Workstation i lists the servers from the (i mod n)th on.
      std::string servers;
      for (int s = 0; s < serverCount; ++s) servers += (s ? ";" : "") + addresses[(i + s) % serverCount];
      runs.push_back({i, processes.Start({stations[i] + "/update.exe"}, {{"PELLARION_UPDATE_SERVER", servers}},
                                         /*quiet=*/true)});
    }
    std::map<int, int> codes;
    for (const auto& [i, pid] : runs) ++codes[processes.Wait(pid, kLongestRunMs)];
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int now = 0;
    for (const auto& [i, pid] : runs) {
      updated[i] = fs::file_size(stations[i] + "/Pellarion.exe") == app.size() &&
                   ReadFile(stations[i] + "/Pellarion.exe") == app;
      now += updated[i] ? 1 : 0;
    }
    done += now;
    std::string exits;
    for (const auto& [code, n] : codes) exits += " " + std::to_string(n) + "x" + std::to_string(code);
    std::printf("  round %d: %zu runs, %d updated (%d of %d in all) in %.0f s; exit codes:%s\n", round, runs.size(),
                now, done, fleet, seconds, exits.c_str());
    std::fflush(stdout);
    if (done == fleet) {
      for (std::size_t s = 0; s < nginx.size(); ++s) {
        const std::string log = nginx[s]->AccessLog();
        std::printf("  server %zu: %d packages served whole, %d package requests turned away (503), %d manifests, "
                    "%d manifests turned away\n",
                    s + 1, Count(log, "200", "/update/Pellarion.bin"), Count(log, "503", "/update/Pellarion.bin"),
                    Count(log, "200", "/update/update.txt"), Count(log, "503", "/update/update.txt"));
      }
      return round;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int fleet = argc > 1 ? std::atoi(argv[1]) : 200;
  const long mib = argc > 2 ? std::atol(argv[2]) : 8;
  const int most = argc > 3 ? std::atoi(argv[3]) : 10;
  TempDir dir;
  // The signed release: the stand-in application padded to the package's size.
  const std::string app = LargeApplication(static_cast<std::size_t>(mib) * 1024 * 1024 - fs::file_size(kApp3), 1);
  WriteFile(dir / "Pellarion.exe", app, 0755);
  const auto staged = RunProgram({PUBLISH_EXE, "stage", "--app", dir / "Pellarion.exe", "--updater", SIGNED_UPDATE_EXE,
                                  "--key", SIGNING_KEY, dir / "www"},
                                 {}, 120000);
  if (staged.exitCode != 0) {
    std::fprintf(stderr, "cannot stage the release:\n%s", staged.output.c_str());
    return 1;
  }
  std::printf("A release of %zu bytes, signed; rounds of runs until every workstation is updated (at most %d)\n\n",
              app.size(), most);
  std::fflush(stdout);
  const int one = Rounds("One server", dir / "www", app, fleet, most, 1);
  const int two = Rounds("Two servers", dir / "www", app, fleet, most, 2);
  const auto said = [](int rounds) {
    return rounds > 0 ? std::to_string(rounds) : std::string("more than the ceiling");
  };
  std::printf("\nRounds until all %d were updated: one server %s, two servers %s\n", fleet, said(one).c_str(),
              said(two).c_str());
  return 0;
}
