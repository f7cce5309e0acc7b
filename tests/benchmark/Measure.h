// What the benchmarks share: a program run as a process of its own, timed,
// with its peak resident size; medians; digests as hex.
#pragma once

#include <string>
#include <vector>

namespace pellarion::benchmark {

struct Measure {
  double seconds = 0;
  long peakKiB = 0;
  int exitCode = -1;  // -1 when it did not exit by itself
};

// Runs `argv` (argv[0] looked up on PATH) with its standard output thrown
// away, waits for it and measures it; exits the benchmark when it cannot be
// started. Linux carries a process's peak resident size through exec into
// the program it starts, so the benchmark does not start it itself: it
// starts itself again, small, with "--measure" and `argv`, and that process
// starts the program and reports on it.
Measure RunMeasured(const std::vector<std::string>& argv);

// The benchmark's main calls this first: when its arguments begin with
// "--measure", it runs the rest as that small process and returns its exit
// code; otherwise it returns -1.
int MeasureIfAsked(int argc, char** argv);

double Median(std::vector<double> values);

std::string Hex(const std::string& bytes);
std::string Unhex(const std::string& hex);

}  // namespace pellarion::benchmark
