// The command-line host as the end-to-end tests run it: copied with its library into a fresh
// folder of its own (so the cache folder beside it is the test's alone), started as a process
// with a bounded time, its output in files. The Linux host runs natively, the Windows one under
// Wine through scripts/wine-run.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "support/files.h"

namespace rze {

enum class Host { kLinux, kWindows };

// "Linux" or "Wine", for test names and messages.
std::string HostName(Host host);
inline void PrintTo(Host host, std::ostream* os) { *os << HostName(host); }

struct RunResult {
  int exitCode = -1;      // the host's exit code: RazaRa's result, or the host's own 64..66
  bool timedOut = false;  // killed at the time limit
  std::string out;        // what it wrote to standard output
  std::string err;        // and to standard error
};

// The host's output, for failure messages.
std::string Describe(const RunResult& result);

class HostFolder {
 public:
  // A fresh temporary folder holding a copy of the host program and its library.
  explicit HostFolder(Host host);

  // Why the host cannot run here (its build is missing, for example); empty when it can.
  const std::string& error() const { return error_; }
  std::string dir() const { return dir_.path().string(); }
  // dir() + "/Tavrin/RazaRa/", as a Linux path.
  std::string CacheDir() const { return dir() + "/Tavrin/RazaRa/"; }

  // Runs the host once with fixed card ids: razara [--no-mkdir] OUTSIDE HARDWARE URL. Without
  // --no-mkdir the host creates the cache folder first.
  RunResult Run(const std::string& serviceUrl, bool makeCacheDir = true,
                std::chrono::seconds limit = std::chrono::seconds(90)) const;

 private:
  Host host_;
  rztest::TempDir dir_{"rz-e2e"};
  std::string error_;
};

}  // namespace rze
