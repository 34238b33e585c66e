// The command-line host as the end-to-end tests run it: copied with its library into a fresh
// folder of its own (so the cache folder beside it is the test's alone), started as a process
// with a bounded time, its output in files. The Linux host runs natively, the Windows one under
// Wine through scripts/wine-run.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace rze {

enum class Host { kLinux, kWindows };

// "Linux" or "Wine", for test names.
std::string HostName(Host host);

// Why the host's programs cannot be used (empty when they can): the Windows build has not been
// made, for example.
std::string Unavailable(Host host);

struct RunResult {
  int exitCode = -1;      // the host's exit code: RazaRa's result, or the host's own 64..66
  bool timedOut = false;  // killed at the time limit
  bool killed = false;    // killed because killWhen said so
  std::string out;        // what it wrote to standard output
  std::string err;        // and to standard error
};

class HostFolder {
 public:
  // A fresh temporary folder holding a copy of the host program and its library; with
  // `subfolder`, the copy goes into a folder of that (UTF-8) name inside it.
  explicit HostFolder(Host host, const std::string& subfolder = {});
  // Removes the folder with everything in it.
  ~HostFolder();
  HostFolder(const HostFolder&) = delete;
  HostFolder& operator=(const HostFolder&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& dir() const { return dir_; }
  // dir() + "Tavrin/RazaRa/", as a Linux path.
  std::string CacheDir() const { return dir_ + "/Tavrin/RazaRa/"; }
  std::string CachePath(const std::string& name) const { return CacheDir() + name; }
  // Creates the cache folder, as the host does before each call.
  bool MakeCacheDir() const;

  // Runs the host once: razara [--no-mkdir] OUTSIDE HARDWARE URL. `killWhen`, polled while it
  // runs, kills it (SIGKILL, no clean-up) once it returns true.
  RunResult Run(const std::string& outsideId, const std::string& hardwareId,
                const std::string& serviceUrl, bool makeCacheDir = true,
                std::chrono::seconds limit = std::chrono::seconds(90),
                const std::function<bool()>& killWhen = nullptr) const;
  // Runs the host once with `args` as they are.
  RunResult RunArgs(const std::vector<std::string>& args,
                    std::chrono::seconds limit = std::chrono::seconds(90),
                    const std::function<bool()>& killWhen = nullptr) const;

 private:
  Host host_;
  std::string root_;  // what the destructor removes
  std::string dir_;
  std::string error_;
};

// Small file helpers on Linux paths.
bool WriteFile(const std::string& path, const std::string& bytes);
// The file's bytes; "<absent>" when it cannot be read.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
bool MakeDirs(const std::string& path);
// Names in a folder, sorted ("." and ".." left out); empty when it does not exist.
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace rze
