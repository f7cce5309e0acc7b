// Runs a program for a test and collects what it printed (Linux).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pellarion::testing {

struct RunResult {
  int exitCode = -1;      // -1 when it did not end in time or died by a signal
  std::string output;     // standard output
};

// Runs `argv` (argv[0] looked up on PATH unless it holds a slash) with the
// environment plus `env` (an empty value unsets the variable), standard input
// from /dev/null, and waits at most `timeoutMs`.
RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {}, int timeoutMs = 20000);

// Processes a test started, stopped and reaped when the test ends, whatever
// the test's assertions did.
class Spawned {
 public:
  Spawned() = default;
  ~Spawned();
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;
  // Starts `argv` (argv[0] a path) with the environment plus `env`, its
  // standard output discarded when `quiet`; the process id, or 0.
  int Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
            bool quiet = false);
  // Runs `body` in a child process, which ends with the code `body`
  // returns; the process id. The child is a copy of a process with threads:
  // `body` makes system calls only, nothing that allocates or locks.
  int Fork(const std::function<int()>& body);
  // Reaps `pid` if it has ended; true then, with its wait status.
  bool Ended(int pid, int& status);
  // Waits at most `timeoutMs` for `pid` to end (stopping it then); its exit
  // code, or -1 when it did not end by itself.
  int Wait(int pid, int timeoutMs);

 private:
  std::vector<int> pids_;
};

// A fresh folder under the system's temporary folder. On destruction every
// process still running from a program in it (an application an updater
// started, an updater a test left) is stopped, and the folder removed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// The running processes whose executable lies under `folder`.
std::vector<int> ProcessesIn(const std::string& folder);

// A port on 127.0.0.1 on which nothing listens now.
int FreeLoopbackPort();

// For a test server run as a program of its own. Blocks SIGTERM, SIGINT and
// SIGALRM; call it before any thread starts, so that every thread inherits
// the mask.
void BlockStopSignals();
// Writes `port` to `path` in one step, for the test waiting for the file.
void WritePortFile(const std::string& path, int port);
// Waits for a stop signal, or `seconds` (600 at most).
void WaitForStopSignal(int seconds);

void WriteFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

}  // namespace pellarion::testing
