// The command-line host as the end-to-end tests run it: copied with its library into a fresh
// folder of its own (so the cache folder beside it is the test's alone), started as a process
// with a bounded time, its output in files. The Linux host runs natively, the Windows one under
// Wine through scripts/wine-run.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/files.h"

namespace rze {

enum class Host { kLinux, kWindows };

// "Linux" or "Wine", for test names and messages.
std::string HostName(Host host);
inline void PrintTo(Host host, std::ostream* os) { *os << HostName(host); }

struct RunResult {
  int exitCode = -1;      // the host's exit code: RazaRa's result, or the host's own 64..74
  bool timedOut = false;  // killed at the time limit
  bool killed = false;    // killed because killWhen said so
  std::string out;        // what it wrote to standard output
  std::string err;        // and to standard error
};

// The host's output, for failure messages.
std::string Describe(const RunResult& result);

// Runs `program` from the Windows build's bin folder under Wine ("trust_root.exe"), or one of
// Wine's own ("reg"), in the prefix the host runs in, with `args`; its exit code, or -1 when it
// could not run or took longer than `limit`. Its output goes to `output` when that is given.
int RunWindowsTool(const std::string& program, const std::vector<std::string>& args,
                   std::chrono::seconds limit = std::chrono::seconds(60),
                   std::string* output = nullptr);

// A Linux path as a Windows program under Wine names it (drive Z:).
std::string WinePath(const std::string& linuxPath);

class HostFolder {
 public:
  // A fresh temporary folder holding a copy of the host program and its library; with
  // `subfolder`, the copy goes into a folder of that (UTF-8) name inside it.
  explicit HostFolder(Host host, const std::string& subfolder = {});

  // Why the host cannot run here (its build is missing, for example); empty when it can.
  const std::string& error() const { return error_; }
  const std::string& dir() const { return dir_; }
  // dir() + "/Tavrin/RazaRa/", as a Linux path.
  std::string CacheDir() const { return dir_ + "/Tavrin/RazaRa/"; }
  std::string CachePath(const std::string& name) const { return CacheDir() + name; }

  // Runs the host once with fixed card ids: razara [--no-mkdir] OUTSIDE HARDWARE URL. Without
  // --no-mkdir the host creates the cache folder first. `killWhen`, polled while the host runs,
  // kills it (SIGKILL, no clean-up) once it returns true.
  RunResult Run(const std::string& serviceUrl, bool makeCacheDir = true,
                std::chrono::seconds limit = std::chrono::seconds(90),
                const std::function<bool()>& killWhen = nullptr) const;
  // Runs the host once with `args` as they are.
  RunResult RunArgs(const std::vector<std::string>& args,
                    std::chrono::seconds limit = std::chrono::seconds(90),
                    const std::function<bool()>& killWhen = nullptr) const;

 private:
  Host host_;
  rztest::TempDir root_{"rz-e2e"};
  std::string dir_;
  std::string error_;
};

}  // namespace rze
