// What razara needs from the system beyond the standard library: whether its output is a
// terminal, the system's words for an error code, and the library's debug lines while a call
// runs. host_platform_posix.cpp and host_platform_win32.cpp implement it; CMake picks one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace razara {

bool StdoutIsTerminal();
// A Windows console shows the UTF-8 razara writes; elsewhere nothing to do.
void PrepareConsole();
// "errno 2: No such file or directory", or "error 5: Access is denied".
std::string SystemErrorText(unsigned long code);

// Sets an environment variable of this process for the library's call to read (ASCII name and
// value; only a lack of memory could refuse it).
void SetVariable(const char* name, const char* value);

// Delivers the library's debug lines, one call of `sink` per line, on a thread of razara's own
// that runs from Start to Stop.
// - Linux: RAZARA_DEBUG is set for the call and stderr goes through a pipe that the thread reads.
// - Windows: the thread reads the system debug output as a debug-output viewer does (the
//   DBWIN_BUFFER section and its DBWIN_BUFFER_READY / DBWIN_DATA_READY events), keeping the
//   lines of this process.
class DebugLineReader {
 public:
  using Sink = std::function<void(std::string_view line)>;
  DebugLineReader();
  ~DebugLineReader();  // stops
  DebugLineReader(const DebugLineReader&) = delete;
  DebugLineReader& operator=(const DebugLineReader&) = delete;

  // False with `error` set when the reader cannot start; the call can still run without it.
  // `warning` is set when it started but may miss lines (another reader is running).
  bool Start(Sink sink, std::string& error, std::string& warning);
  // Delivers every line written before it, then ends the thread and restores what Start changed.
  void Stop();
  // Where the reader's own writes to stderr go while it runs (the real stderr on Linux).
  void WriteError(std::string_view text);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace razara
