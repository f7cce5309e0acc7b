#include "tests/benchmark/Measure.h"

#include <fcntl.h>
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

extern char** environ;

namespace pellarion::benchmark {

namespace {

// Starts `argv` with its standard output going to `output`; exits the
// benchmark when it cannot.
pid_t Spawn(std::vector<std::string> argv, int output, const char* outputPath) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outputPath != nullptr) {
    posix_spawn_file_actions_addopen(&actions, 1, outputPath, O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, output, 1);
  }
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    std::perror(args[0]);
    std::exit(2);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

Measure RunMeasured(const std::vector<std::string>& argv) {
  std::vector<std::string> measured = {std::filesystem::read_symlink("/proc/self/exe").string(), "--measure"};
  measured.insert(measured.end(), argv.begin(), argv.end());
  int report[2];
  if (pipe(report) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  const pid_t pid = Spawn(measured, report[1], nullptr);
  close(report[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Measure m;
  if (std::sscanf(text.c_str(), "%lf %ld %d", &m.seconds, &m.peakKiB, &m.exitCode) != 3) m.exitCode = -1;
  return m;
}

int MeasureIfAsked(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "--measure") != 0) return -1;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = Spawn(std::vector<std::string>(argv + 2, argv + argc), -1, "/dev/null");
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %ld %d\n", seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (const unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
  return hex;
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

}  // namespace pellarion::benchmark
